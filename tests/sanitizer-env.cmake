# Read by ctest (not by cmake) in the sanitizer build: sets the runtime
# options of AddressSanitizer, LeakSanitizer and UndefinedBehaviorSanitizer
# for every test process, test discovery included.  Options the caller has
# already set come last and so win.
function(kx27_prepend_options variable options)
  if(DEFINED ENV{${variable}} AND NOT "$ENV{${variable}}" STREQUAL "")
    set(ENV{${variable}} "${options}:$ENV{${variable}}")
  else()
    set(ENV{${variable}} "${options}")
  endif()
endfunction()

kx27_prepend_options(ASAN_OPTIONS
  "detect_leaks=1:check_initialization_order=1:detect_stack_use_after_return=1")
kx27_prepend_options(LSAN_OPTIONS
  "suppressions=${CMAKE_CURRENT_LIST_DIR}/lsan.supp:print_suppressions=0")
kx27_prepend_options(UBSAN_OPTIONS "print_stacktrace=1:halt_on_error=1")
