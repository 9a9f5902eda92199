# SPDX-License-Identifier: BSD-2-Clause-Patent
#
# Diagnostics: the driver's own DebugLib and dual-UART SerialPortLib on the
# simulated platform, the legacy device models they drive, the start-up of the
# whole image through MdePkg's real UefiDriverEntryPoint, the poll-count
# measurement, and the check of the firmware build's constructor order.
# Included from CMakeLists.txt.

# --- Device models on the port bus: 16550 UARTs, CMOS, Super I/O ------------
add_library(tolm_device_models STATIC Platform/Devices/LegacyDevices.cpp)
tolm_host_unit(tolm_device_models)
target_compile_options(tolm_device_models PRIVATE -Wall -Wextra -Wno-unused-parameter)
target_link_libraries(tolm_device_models PUBLIC GTest::gtest)

# --- The driver's DebugLib and SerialPortLib, compiled as firmware C++ -------
# (Warnings are errors, as in the firmware build; the mutation run turns that
# off, so that a mutant that only leaves a variable unused still runs.)
option(TOLM_HOST_WARNINGS_AS_ERRORS "Treat warnings in the driver's libraries as errors" ON)
add_library(tolm_diagnostics_libs STATIC
  "${TOLM_PKG_DIR}/Library/DebugLib/DebugLib.cpp"
  "${TOLM_PKG_DIR}/Library/DebugLib/DebugErrorLevel.cpp"
  "${TOLM_PKG_DIR}/Library/SerialPortLib/SerialPortLib.cpp"
  "${TOLM_PKG_DIR}/Library/SerialPortLib/PlatformHookLib.cpp")
tolm_host_unit(tolm_diagnostics_libs)
target_compile_options(tolm_diagnostics_libs PRIVATE
  -fno-exceptions -fno-rtti -fno-threadsafe-statics -fno-use-cxa-atexit -Wno-write-strings
  -Wall $<$<BOOL:${TOLM_HOST_WARNINGS_AS_ERRORS}>:-Werror> -Wno-unused-parameter
  ${TOLM_INTEGER_CHECKS} ${TOLM_FUZZ_INSTRUMENTATION}
  "SHELL:-include TolmVexaCxx.h" "SHELL:-include HostGuids.h")

tolm_add_host_test(diagnostics_tests
  DEBUG_LIB tolm_diagnostics_libs
  LIBRARIES tolm_device_models
  SOURCES
    Tests/SerialPortTest.cpp
    Tests/DiagnosticsDebugLibTest.cpp
    Tests/DiagnosticsStartUpTest.cpp
    Tests/DeviceModelTest.cpp
    "${EDK2_DIR}/MdePkg/Library/UefiDriverEntryPoint/DriverEntryPoint.c")
# Counts how often the debug library formats a message.
target_link_options(diagnostics_tests PRIVATE "LINKER:--wrap=AsciiVSPrint")

# --- Measurement (not a test): LSR polls per byte for 4 KiB of log ----------
add_executable(serial_poll_measure Tests/SerialPollMeasure.cpp)
tolm_host_unit(serial_poll_measure)
target_include_directories(serial_poll_measure PRIVATE "${TOLM_DRIVER_DIR}")
target_link_libraries(serial_poll_measure PRIVATE
  "$<LINK_GROUP:RESCAN,tolm_device_models,tolm_sim_platform,tolm_diagnostics_libs,tolm_edk2_host>"
  GTest::gmock GTest::gtest)

# --- The firmware build's library set-up order ------------------------------
# (Compiler-independent: the main build runs it, the sanitizer suite does not.)
if(TOLM_SANITIZER_SUITE OR TOLM_HOST_ONLY_PREFIX)
  return()
endif()

# The AutoGen.c of every EDK II build is checked in TolmVexaPkg/Test/CMakeLists.txt
# (constructor_order.*); here the check proves on fixtures that it can fail.
set(TOLM_CONSTRUCTOR_CHECK "${TOLM_REPO_DIR}/scripts/check-constructor-order.py")
add_test(NAME constructor_order_accepts_required_order
  COMMAND Python3::Interpreter "${TOLM_CONSTRUCTOR_CHECK}"
          "${TOLM_HOST_DIR}/Tests/Fixtures/AutoGenRequiredOrder.c")
foreach(bad BootServicesFirst NoDestructor ConsoleBeforeErrorLevel)
  add_test(NAME constructor_order_rejects_${bad}
    COMMAND Python3::Interpreter "${TOLM_CONSTRUCTOR_CHECK}"
            "${TOLM_HOST_DIR}/Tests/Fixtures/AutoGen${bad}.c")
  set_tests_properties(constructor_order_rejects_${bad} PROPERTIES WILL_FAIL TRUE)
endforeach()
