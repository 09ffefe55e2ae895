# Compiler options of every target, in one place: warnings, floating-point
# contraction, the build machine's instruction set and the sanitizers.
include(CheckCXXCompilerFlag)

# Warnings everywhere. Floating-point contraction is switched off so that every
# update a - b*c rounds the same way in every routine: the parallel kernels
# promise results that are bitwise independent of the task count and equal to
# the sequential factorisation. GCC and Clang differ in their default here
# (Clang contracts within a statement), so it is always spelled out.
add_compile_options(-Wall -Wextra -ffp-contract=off)
# The kernels pass 32-byte vectors between always-inlined helpers; built
# without AVX (the sanitizer and portable builds), GCC notes that such a value
# would cross the ABI differently, which no call of ours does.
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  add_compile_options(-Wno-psabi)
endif()

# The build machine's instruction set, for VELQO_NATIVE and for the sanitizer
# build (which checks the vector code paths the optimised build runs). Only
# x86-64 gets options: there the fused multiply-add instructions can be left out
# on their own (GCC 12 turns complex products into fused multiply-adds even
# with contraction off, which would make complex results depend on how a loop is
# vectorised), and AVX-512 is left out with them (AVX2 vectorisation stays; the
# real kernels written for 64-byte vectors ask for them themselves, where the
# processor has them: in_widest_vectors in solver/blockkernels.h).
# On other processors the fused complex instructions of the machine's
# architecture level (on aarch64 those of Armv8.3) cannot be switched off by
# themselves, so the compiler's default target is kept.
set(VELQO_MACHINE_FLAGS "")
set(VELQO_MACHINE_NOTE "")
if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64|i.86)$")
  foreach(flag -march=native -mno-fma -mno-avx512f)
    string(MAKE_C_IDENTIFIER "VELQO_ACCEPTS${flag}" accepted)
    check_cxx_compiler_flag(${flag} ${accepted})
    if(${accepted})
      list(APPEND VELQO_MACHINE_FLAGS ${flag})
    elseif(flag STREQUAL "-march=native")
      set(VELQO_MACHINE_NOTE "the compiler does not accept -march=native")
      break()
    endif()
  endforeach()
  if(NOT "-march=native" IN_LIST VELQO_MACHINE_FLAGS)
    set(VELQO_MACHINE_FLAGS "")
  endif()
else()
  set(VELQO_MACHINE_NOTE "no instruction-set options for ${CMAKE_SYSTEM_PROCESSOR}")
endif()

if(VELQO_NATIVE)
  if(VELQO_MACHINE_FLAGS)
    add_compile_options("$<$<CONFIG:Release>:${VELQO_MACHINE_FLAGS}>")
  else()
    message(STATUS "VELQO_NATIVE: the compiler's default target is kept (${VELQO_MACHINE_NOTE})")
  endif()
endif()

string(REPLACE "-O2" "-O3" CMAKE_CXX_FLAGS_RELEASE "${CMAKE_CXX_FLAGS_RELEASE}")
if(NOT CMAKE_CXX_FLAGS_RELEASE MATCHES "-O3")
  string(APPEND CMAKE_CXX_FLAGS_RELEASE " -O3")
endif()

if(VELQO_SANITIZE_THREAD)
  add_compile_options(-fsanitize=thread -g)
  add_link_options(-fsanitize=thread)
endif()
if(VELQO_SANITIZE_ADDRESS)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer -g
                      ${VELQO_MACHINE_FLAGS})
  add_link_options(-fsanitize=address,undefined)
  # GCC's maybe-uninitialized analysis misfires on instrumented code (here in
  # the standard library's regex, which a test uses); the optimised build keeps
  # the warning.
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    add_compile_options(-Wno-maybe-uninitialized)
  endif()
endif()
