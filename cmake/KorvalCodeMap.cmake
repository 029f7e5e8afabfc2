# KorvalCodeMap.cmake - korval_code_map(<target>) and
# korval_install_code_map(<target> DESTINATION <dir>), for this project's
# build, for a project that adds this source tree, and in the installed
# package.
#
# korval_code_map(<target> [TEXT_MAP]): after each link of the executable or
# shared library <target>, korval-codemap writes NAME.COD beside it, NAME
# being its file name up to the first dot in capitals (app: APP.COD,
# libshapes.so.1: LIBSHAPES.COD, plugin.dll: PLUGIN.COD), with the object
# files as modules from the linker map that -Map writes (added to the
# target's link options). TEXT_MAP writes NAME.MAP too, the same functions
# as a map that KORVAL reads. Nothing is forced on the target's addresses: a
# code map holds link-time addresses, from which the fault reporter takes
# the load bias off, so the target stays position-independent. A PE image
# gets a preferred image base below 4 GiB (0x400000) and keeps dynamic base
# and high-entropy addresses.
#
# When the target is installed (install(TARGETS)), in the same directory
# (CMake 3.19 or later), its code map is installed beside it; elsewhere, or
# to choose the place, korval_install_code_map names the destination.
#
# korval-codemap runs on the build machine:
# - when the variable KORVAL_HOST_TOOLS names a directory, its korval-codemap
#   (a native build or installation, for a cross build:
#   -DKORVAL_HOST_TOOLS=/usr/local/bin);
# - otherwise the target korval::codemap, built by this project or installed
#   with the package; when cross-compiling, through
#   CMAKE_CROSSCOMPILING_EMULATOR (for a Windows package on Linux, wine),
#   which must then be set.
# The toolchain is GCC or Clang with a GNU-style linker (MinGW-w64 on Windows).

# The code map's path of target, as a generator expression.
function(_korval_code_map_file target out)
  set(${out} "$<TARGET_FILE_DIR:${target}>/$<UPPER_CASE:$<TARGET_FILE_PREFIX:${target}>$<TARGET_FILE_BASE_NAME:${target}>>.COD"
      PARENT_SCOPE)
endfunction()

function(korval_code_map target)
  cmake_parse_arguments(arg "TEXT_MAP" "" "" ${ARGN})
  if(MSVC)
    message(FATAL_ERROR "korval_code_map(${target}): needs GCC or Clang with a GNU-style linker")
  endif()
  get_target_property(type ${target} TYPE)
  if(NOT type MATCHES "^(EXECUTABLE|SHARED_LIBRARY|MODULE_LIBRARY)$")
    message(FATAL_ERROR "korval_code_map(${target}): not an executable or a shared library")
  endif()
  # Variables of the caller's scope are seen here: each one is set first.
  set(run "")
  if(KORVAL_HOST_TOOLS)
    set(exe "")
    if(CMAKE_HOST_WIN32)
      set(exe .exe)
    endif()
    set(codemap "${KORVAL_HOST_TOOLS}/korval-codemap${exe}")
    if(NOT EXISTS "${codemap}")
      message(FATAL_ERROR "korval_code_map(${target}): KORVAL_HOST_TOOLS holds no ${codemap}")
    endif()
    # Relinked when the tool changes, so that the code map follows.
    set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS "${codemap}")
  else()
    if(NOT TARGET korval::codemap)
      message(FATAL_ERROR "korval_code_map(${target}): no target korval::codemap; "
                          "find_package(korval) or add_subdirectory() of its source tree comes "
                          "first, or KORVAL_HOST_TOOLS names a directory holding korval-codemap")
    endif()
    get_target_property(built korval::codemap ALIASED_TARGET)
    if(built)
      add_dependencies(${target} ${built})
    endif()
    if(CMAKE_CROSSCOMPILING)
      if(NOT CMAKE_CROSSCOMPILING_EMULATOR)
        message(FATAL_ERROR "korval_code_map(${target}): a cross build needs KORVAL_HOST_TOOLS "
                            "or CMAKE_CROSSCOMPILING_EMULATOR to run korval-codemap")
      endif()
      set(run ${CMAKE_CROSSCOMPILING_EMULATOR})
    endif()
    set(codemap ${run} $<TARGET_FILE:korval::codemap>)
  endif()

  set(ldmap "${CMAKE_CURRENT_BINARY_DIR}/${target}.ldmap")
  _korval_code_map_file(${target} cod)
  target_link_options(${target} PRIVATE "LINKER:-Map=${ldmap}")
  if(WIN32)
    target_link_options(${target} PRIVATE "LINKER:--image-base,0x400000")
  endif()
  set(text "")
  if(arg_TEXT_MAP)
    string(REGEX REPLACE "COD$" "MAP" map "${cod}")
    set(text COMMAND ${codemap} --map ${ldmap} -o ${map} $<TARGET_FILE:${target}>)
  endif()
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${codemap} --map ${ldmap} -o ${cod} $<TARGET_FILE:${target}>
    ${text}
    COMMENT "Code map of ${target}"
    VERBATIM)

  # Installed beside the target: once every install rule of the directory
  # has run, the place the target's file went, if any, gets the code map too.
  if(NOT CMAKE_VERSION VERSION_LESS 3.19)
    cmake_language(EVAL CODE "cmake_language(DEFER CALL install CODE [[
      foreach(_korval_file IN LISTS CMAKE_INSTALL_MANIFEST_FILES)
        get_filename_component(_korval_name \"\${_korval_file}\" NAME)
        if(_korval_name STREQUAL \"$<TARGET_FILE_NAME:${target}>\")
          get_filename_component(_korval_dir \"\${_korval_file}\" DIRECTORY)
          file(INSTALL \"${cod}\" DESTINATION \"\${_korval_dir}\")
        endif()
      endforeach()
    ]])")
  endif()
endfunction()

# Installs the code map of target, which korval_code_map makes, into
# DESTINATION (relative to the install prefix, as install() takes it).
function(korval_install_code_map target)
  cmake_parse_arguments(arg "" "DESTINATION" "" ${ARGN})
  if(NOT arg_DESTINATION)
    message(FATAL_ERROR "korval_install_code_map(${target}): DESTINATION <dir> is needed")
  endif()
  _korval_code_map_file(${target} cod)
  install(FILES "${cod}" DESTINATION "${arg_DESTINATION}")
endfunction()
