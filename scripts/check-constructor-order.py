#!/usr/bin/env python3
# SPDX-License-Identifier: BSD-2-Clause-Patent
"""Checks the library set-up order of the TolmVexaHttpsBootCertMgmt image.

EDK II's build orders library constructors from the library graph, so a new
library dependency can silently move a step. This reads the generated
AutoGen.c of the driver and fails unless ProcessLibraryConstructorList starts
with the required steps, in this order:

  1. the debug-output lookup          (TolmDebugLibOutputConstructor)
  2. the debug print error level      (TolmDebugLibErrorLevelConstructor)
  3. an empty step                    (TolmDebugLibNullConstructor)
  4. the serial console               (TolmDebugLibConsoleConstructor)
  5. gImageHandle, gST, gBS           (UefiBootServicesTableLibConstructor)
  6. gRT                              (UefiRuntimeServicesTableLibConstructor)

Set-up steps that the driver never relies on may follow, never precede. The
clean-up after a failed entry must be the debug library's destructor alone.

Usage:
  check-constructor-order.py [--skip-missing] AUTOGEN_C [AUTOGEN_C ...]
  check-constructor-order.py [--skip-missing] --build-dir BUILD_ROOT [--tag TAG] TARGET [TARGET ...]

TAG is the EDK II tool chain tag of the build folders (default GCC5).

With --skip-missing, files that do not exist (targets not built yet) are
left out, and the exit code is 77 when none exists.
"""

import os
import re
import sys

REQUIRED_CONSTRUCTORS = [
    "TolmDebugLibOutputConstructor",
    "TolmDebugLibErrorLevelConstructor",
    "TolmDebugLibNullConstructor",
    "TolmDebugLibConsoleConstructor",
    "UefiBootServicesTableLibConstructor",
    "UefiRuntimeServicesTableLibConstructor",
]
REQUIRED_DESTRUCTORS = ["TolmDebugLibDestructor"]

DRIVER_AUTOGEN = os.path.join(
    "X64", "TolmVexaPkg", "Feature", "TolmVexaHttpsBootCertMgmtDxe",
    "TolmVexaHttpsBootCertMgmt", "DEBUG", "AutoGen.c")


def calls_in(source, function):
    """Returns the functions called as `Status = Name (...)` in FUNCTION's body."""
    match = re.search(r"\b%s\s*\([^)]*\)\s*\{(.*?)\n\}" % function, source, re.S)
    if match is None:
        raise ValueError("%s not found" % function)
    return re.findall(r"Status\s*=\s*(\w+)\s*\(", match.group(1))


def check(path):
    """Returns a list of problems found in one AutoGen.c (empty when fine)."""
    try:
        with open(path, encoding="utf-8") as handle:
            source = handle.read()
        constructors = calls_in(source, "ProcessLibraryConstructorList")
        destructors = calls_in(source, "ProcessLibraryDestructorList")
    except (OSError, ValueError) as error:
        return ["%s: %s" % (path, error)]

    problems = []
    head = constructors[:len(REQUIRED_CONSTRUCTORS)]
    if head != REQUIRED_CONSTRUCTORS:
        problems.append(
            "%s: constructor order\n    found:    %s\n    required: %s (then optional steps)"
            % (path, ", ".join(constructors) or "(none)", ", ".join(REQUIRED_CONSTRUCTORS)))
    if destructors != REQUIRED_DESTRUCTORS:
        problems.append(
            "%s: destructors\n    found:    %s\n    required: %s"
            % (path, ", ".join(destructors) or "(none)", ", ".join(REQUIRED_DESTRUCTORS)))
    return problems


def main(argv):
    skip_missing = bool(argv) and argv[0] == "--skip-missing"
    if skip_missing:
        argv = argv[1:]
    if len(argv) >= 2 and argv[0] == "--build-dir":
        build_root, argv, tag = argv[1], argv[2:], "GCC5"
        if len(argv) >= 2 and argv[0] == "--tag":
            tag, argv = argv[1], argv[2:]
        paths = [os.path.join(build_root, "%s_%s" % (target, tag), DRIVER_AUTOGEN) for target in argv]
    else:
        paths = argv
    if not paths:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    if skip_missing:
        missing = [path for path in paths if not os.path.isfile(path)]
        for path in missing:
            print("[constructor-order] not built, skipped: %s" % path)
        paths = [path for path in paths if path not in missing]
        if not paths:
            return 77

    problems = []
    for path in paths:
        problems += check(path)
    for problem in problems:
        print("[constructor-order] FAIL " + problem, file=sys.stderr)
    if problems:
        return 1
    for path in paths:
        print("[constructor-order] ok: %s" % path)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
