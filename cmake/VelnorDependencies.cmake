# Finds the libraries the core links and fails with the Debian packages to
# install, rather than CMake's own text about config files and search paths.
#
# VELNOR_STATIC_DEPS links every C library into the extension (the wheel
# build): the wheel then needs nothing at run time beyond the manylinux
# policy, and the extension's version script keeps the copies' symbols
# private, so they never meet another copy of the same library loaded by
# the interpreter (Python's own _ssl and _hashlib).
include_guard(GLOBAL)
include(CheckCXXSourceCompiles)

option(VELNOR_STATIC_DEPS "Link libcrypto, libsodium and the other C libraries statically" OFF)

function(velnor_missing what debian)
  # Indented lines are printed as they are, so the command is never wrapped.
  message(FATAL_ERROR "velnor needs ${what}, which was not found. On Debian or Ubuntu:\n"
    "  sudo apt-get install ${debian}\n"
    "or run scripts/bootstrap.sh, which installs every build dependency.")
endfunction()

# Everything in the core returns std::expected; a standard library without
# it would fail in the first source file with pages of template errors.
function(velnor_require_expected)
  set(CMAKE_REQUIRED_QUIET ON)
  check_cxx_source_compiles([=[
    #include <expected>
    #if !defined(__cpp_lib_expected) || __cpp_lib_expected < 202202L
    #error no std::expected
    #endif
    int main() { std::expected<int, int> e = std::unexpected(1); return e.has_value(); }
  ]=] VELNOR_HAS_STD_EXPECTED)
  if(NOT VELNOR_HAS_STD_EXPECTED)
    message(FATAL_ERROR
      "  velnor needs a C++23 compiler and standard library with <expected>\n"
      "GCC 12 or later, or Clang 16 or later with libstdc++ 12 or libc++ 17; "
      "${CMAKE_CXX_COMPILER_ID} ${CMAKE_CXX_COMPILER_VERSION} (${CMAKE_CXX_COMPILER}) has no "
      "std::expected. On Debian:\n"
      "  sudo apt-get install g++-12\n"
      "then configure again in a fresh build directory with CXX=g++-12.")
  endif()
endfunction()

# velnor_pkg_dependency(<name> <pkg-config module> DEBIAN <package>)
# Defines PkgConfig::<name>, the target the core and the extensions link:
# the shared library normally, its archive under VELNOR_STATIC_DEPS. A
# library added later (a store client, say) calls this once and is linked
# into the wheel the same way as the others.
function(velnor_pkg_dependency name module)
  cmake_parse_arguments(PARSE_ARGV 2 arg "" "DEBIAN" "")
  find_package(PkgConfig QUIET)
  if(NOT PkgConfig_FOUND)
    velnor_missing("pkg-config" "pkg-config")
  endif()
  if(NOT VELNOR_STATIC_DEPS)
    pkg_check_modules(${name} QUIET IMPORTED_TARGET GLOBAL ${module})
    if(NOT ${name}_FOUND)
      velnor_missing("${module}" "${arg_DEBIAN}")
    endif()
    return()
  endif()
  pkg_check_modules(${name} QUIET ${module})
  if(NOT ${name}_FOUND)
    velnor_missing("${module}" "${arg_DEBIAN}")
  endif()
  # pkg-config names the archive only as -l<lib>; find the .a itself so that
  # the linker cannot quietly take the shared object instead.
  set(archives)
  foreach(lib IN LISTS ${name}_STATIC_LIBRARIES)
    find_library(velnor_${name}_${lib}_archive NAMES lib${lib}.a
      HINTS ${${name}_STATIC_LIBRARY_DIRS} ${${name}_LIBRARY_DIRS} NO_CACHE)
    if(velnor_${name}_${lib}_archive)
      list(APPEND archives ${velnor_${name}_${lib}_archive})
    elseif(lib MATCHES "^(pthread|dl|m|rt|c)$")
      list(APPEND archives ${lib})
    else()
      velnor_missing("the static archive lib${lib}.a" "${arg_DEBIAN}")
    endif()
  endforeach()
  add_library(PkgConfig::${name} INTERFACE IMPORTED GLOBAL)
  set_target_properties(PkgConfig::${name} PROPERTIES
    INTERFACE_INCLUDE_DIRECTORIES "${${name}_INCLUDE_DIRS}"
    INTERFACE_LINK_LIBRARIES "${archives};${${name}_STATIC_LDFLAGS_OTHER}")
endfunction()

macro(velnor_find_dependencies)
  velnor_require_expected()
  if(VELNOR_STATIC_DEPS)
    set(OPENSSL_USE_STATIC_LIBS TRUE)
  endif()
  find_package(OpenSSL 3.0 QUIET COMPONENTS Crypto)
  if(NOT OpenSSL_FOUND OR NOT TARGET OpenSSL::Crypto)
    velnor_missing("OpenSSL 3 libcrypto" "libssl-dev")
  endif()
  # Boost.JSON is compiled into the core (boost/json/src.hpp in one source
  # file), so only its headers are needed and nothing of Boost at run time.
  find_package(boost_json 1.81 QUIET CONFIG)
  if(NOT boost_json_FOUND)
    velnor_missing("Boost.JSON 1.81 or later" "libboost-json1.81-dev")
  endif()
  velnor_pkg_dependency(sodium "libsodium>=1.0.18" DEBIAN libsodium-dev)
  # The shared nonce store speaks to Redis.
  velnor_pkg_dependency(hiredis "hiredis>=0.14" DEBIAN libhiredis-dev)
endmacro()
