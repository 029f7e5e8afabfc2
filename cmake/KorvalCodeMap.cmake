# KorvalCodeMap.cmake - korval_code_map(<target>), for this project's build,
# for a project that adds this source tree, and in the installed package.
#
# After each link of the executable <target>, writes NAME.MAP and NAME.COD
# beside it, NAME being its output name in capitals without extension (app
# gives APP.COD): korval-codemap lists the executable's functions, with their
# object files as modules, from its symbol table and the linker map that
# -Map writes (added to the target's link options), and korval converts that
# list into the code map in the executable's directory. Nothing is forced on
# the target's addresses: a code map holds link-time addresses, from which the
# fault reporter takes the load bias off, so the executable stays
# position-independent. A PE image gets a preferred image base below 4 GiB
# (0x400000) and keeps dynamic base and high-entropy addresses.
#
# The two tools run on the build machine:
# - when the variable KORVAL_HOST_TOOLS names a directory, its korval-codemap
#   and korval (a native build or installation, for a cross build:
#   -DKORVAL_HOST_TOOLS=/usr/local/bin);
# - otherwise the targets korval::codemap and korval::korval, built by this
#   project or installed with the package; when cross-compiling, through
#   CMAKE_CROSSCOMPILING_EMULATOR (for a Windows package on Linux, wine),
#   which must then be set.
# The toolchain is GCC or Clang with a GNU-style linker (MinGW-w64 on Windows).

function(korval_code_map target)
  if(MSVC)
    message(FATAL_ERROR "korval_code_map(${target}): needs GCC or Clang with a GNU-style linker")
  endif()
  # Variables of the caller's scope are seen here: each one is set first.
  set(exe "")
  set(run "")
  if(KORVAL_HOST_TOOLS)
    if(CMAKE_HOST_WIN32)
      set(exe .exe)
    endif()
    set(codemap "${KORVAL_HOST_TOOLS}/korval-codemap${exe}")
    set(korval "${KORVAL_HOST_TOOLS}/korval${exe}")
    foreach(tool "${codemap}" "${korval}")
      if(NOT EXISTS "${tool}")
        message(FATAL_ERROR "korval_code_map(${target}): KORVAL_HOST_TOOLS holds no ${tool}")
      endif()
    endforeach()
    # Relinked when the tools change, so that the code map follows.
    set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS "${codemap}" "${korval}")
  else()
    foreach(tool korval::codemap korval::korval)
      if(NOT TARGET ${tool})
        message(FATAL_ERROR "korval_code_map(${target}): no target ${tool}; find_package(korval) "
                            "or add_subdirectory() of its source tree comes first, or "
                            "KORVAL_HOST_TOOLS names a directory holding korval-codemap and korval")
      endif()
      # Built before the target, unless it is the target itself.
      get_target_property(built ${tool} ALIASED_TARGET)
      if(built AND NOT built STREQUAL target)
        add_dependencies(${target} ${built})
      endif()
    endforeach()
    if(CMAKE_CROSSCOMPILING)
      if(NOT CMAKE_CROSSCOMPILING_EMULATOR)
        message(FATAL_ERROR "korval_code_map(${target}): a cross build needs KORVAL_HOST_TOOLS "
                            "or CMAKE_CROSSCOMPILING_EMULATOR to run korval-codemap and korval")
      endif()
      set(run ${CMAKE_CROSSCOMPILING_EMULATOR})
    endif()
    set(codemap ${run} $<TARGET_FILE:korval::codemap>)
    set(korval ${run} $<TARGET_FILE:korval::korval>)
  endif()

  set(ldmap "${CMAKE_CURRENT_BINARY_DIR}/${target}.ldmap")
  set(name "$<UPPER_CASE:$<TARGET_FILE_BASE_NAME:${target}>>")
  target_link_options(${target} PRIVATE "LINKER:-Map=${ldmap}")
  if(WIN32)
    target_link_options(${target} PRIVATE "LINKER:--image-base,0x400000")
  endif()
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${codemap} $<TARGET_FILE:${target}> ${ldmap} ${name}.MAP
    COMMAND ${korval} ${name}.MAP
    WORKING_DIRECTORY $<TARGET_FILE_DIR:${target}>
    COMMENT "Code map of ${target}"
    VERBATIM)
endfunction()
