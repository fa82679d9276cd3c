#!/bin/bash -eu
# Run by the fuzzing service in the image of Dockerfile, with CC, CXX, CFLAGS, CXXFLAGS,
# LIB_FUZZING_ENGINE, OUT, SRC and WORK set: the harnesses, their seed corpora, dictionaries and
# options go to $OUT (fuzz/build.sh; $WORK is its CMake build directory).
"$SRC/zarn/fuzz/build.sh"
