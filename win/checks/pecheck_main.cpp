// pecheck: checks that a file is a kernel-mode driver image for i386 Windows.
#include <fstream>
#include <iostream>
#include <iterator>

#include "pe_image.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: pecheck DRIVER.sys\n";
        return 2;
    }
    std::ifstream file(argv[1], std::ios::binary);
    if (!file) {
        std::cerr << "pecheck: cannot open " << argv[1] << "\n";
        return 2;
    }
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    pe::Image image;
    std::string error;
    if (!pe::Parse(std::move(bytes), &image, &error)) {
        std::cerr << "pecheck: " << argv[1] << ": " << error << "\n";
        return 1;
    }
    bool ok = true;
    for (const pe::CheckResult& result : pe::CheckDriver(image, "_DriverEntry@8")) {
        std::cout << (result.passed ? "ok   " : "FAIL ") << result.name;
        if (!result.detail.empty()) std::cout << " (" << result.detail << ")";
        std::cout << "\n";
        ok = ok && result.passed;
    }
    return ok ? 0 : 1;
}
