# The driver's version, set here once. It reaches the INF's DriverVer, the version resource of
# zarn.sys and the names of the driver disks (make dist).
set(ZARN_VERSION 1.0.0.0)
# The date DriverVer carries with it (mm/dd/yyyy, as INF files write it).
set(ZARN_VERSION_DATE 12/08/2026)
string(REPLACE "." "," ZARN_VERSION_COMMAS ${ZARN_VERSION})
