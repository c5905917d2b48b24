# mzt_add_test(<name> SOURCES <files...> LIBS <targets...> [LABELS <labels...>]
#              [ENV <VAR=value...>] [TIMEOUT <seconds>])
#
# Builds a Qt Test executable and registers it with CTest. Every test runs
# with the offscreen platform and without a real FTDI backend, so a developer
# machine with a recorder plugged in never takes part in the suite.
function(mzt_add_test name)
  cmake_parse_arguments(T "" "TIMEOUT" "SOURCES;LIBS;LABELS;ENV" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE Qt6::Test ${T_LIBS})
  add_test(NAME ${name} COMMAND ${name})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  # die_after_fork=0: tests that talk D-Bus start processes from a process
  # that already runs threads (dbus-daemon, and the children the D-Bus
  # client library forks), and such a child starts a thread of its own before
  # it execs. ThreadSanitizer cannot follow threads across that fork and by
  # default ends the child, and the test with it; the child runs no code of
  # ours before it execs.
  set(env
    QT_QPA_PLATFORM=offscreen
    QTWEBENGINE_DISABLE_SANDBOX=1
    MZT500_NO_HARDWARE=1
    MZT500_PORTS=
    MZT500_SIMULATOR=
    "TSAN_OPTIONS=halt_on_error=1 die_after_fork=0 second_deadlock_stack=1 ignore_noninstrumented_modules=1 suppressions=${PROJECT_SOURCE_DIR}/tests/tsan.supp"
    "ASAN_OPTIONS=halt_on_error=1 detect_leaks=1"
    "LSAN_OPTIONS=suppressions=${PROJECT_SOURCE_DIR}/tests/lsan.supp"
    "UBSAN_OPTIONS=halt_on_error=1 print_stacktrace=1"
    ${T_ENV})
  set_tests_properties(${name} PROPERTIES
    TIMEOUT ${T_TIMEOUT}
    ENVIRONMENT "${env}")
  if(T_LABELS)
    set_tests_properties(${name} PROPERTIES LABELS "${T_LABELS}")
  endif()
endfunction()
