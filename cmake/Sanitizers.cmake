# ORV_SANITIZE selects a sanitizer build: "address" (AddressSanitizer and
# UndefinedBehaviorSanitizer) or "thread" (ThreadSanitizer).
set(ORV_SANITIZE "" CACHE STRING "Sanitizer build: empty, address or thread")

if(ORV_SANITIZE STREQUAL "address")
  set(_orv_san_flags -fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
elseif(ORV_SANITIZE STREQUAL "thread")
  set(_orv_san_flags -fsanitize=thread -fno-omit-frame-pointer)
  # GCC cannot instrument Asio's standalone fences and warns at every
  # handler; the handlers are ordered by the library's mutexes regardless.
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    add_compile_options($<$<COMPILE_LANGUAGE:CXX>:-Wno-tsan>)
  endif()
elseif(NOT ORV_SANITIZE STREQUAL "")
  message(FATAL_ERROR "ORV_SANITIZE must be empty, address or thread")
endif()

if(_orv_san_flags)
  # Tests that measure memory skip the measurement: the runtimes' shadow
  # memory would dwarf it.
  add_compile_definitions(ORV_SANITIZED)
  # -O1, as the sanitizers' own guides advise: a third less compile time
  # than -O2, and fewer memory accesses optimised away from the checks.
  add_compile_options(${_orv_san_flags} -O1)
  add_link_options(${_orv_san_flags})
endif()
