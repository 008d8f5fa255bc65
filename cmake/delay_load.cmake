# System libraries that are not among Windows' known DLLs are imported late
# (delay-loaded), so that the loader does not look for them before the
# program has said where libraries come from. Resolved at start, a statically
# imported wininet.dll or version.dll is searched for in the program's folder
# first; imported late, it is loaded by LoadLibrary on the first call, after
# UseSystemFolderForLibraries (base/library_search.h) has limited every search,
# the libraries' own dependencies included, to the system folder.
#
# dg_delay_import(name): the target delay_${name}, a delay-import library made
# here from the toolchain's import library lib${name}.a, to link instead of
# `name`. The calls go through the same names; only the first one loads.
#
# The 32-bit linker (i386pe) keeps a member's stub only where some object
# calls it by its plain name, and drops it where the code calls through the
# import slot (__imp__Name@n, as every dllimport declaration does); the slot
# then points at nothing and the first call jumps to address 0. So the
# 32-bit programs ask for every stub of the library (-u _Name@n, from a
# response file): a few bytes each, and every slot keeps its way to the
# loader.
function(dg_delay_import name)
  if(TARGET delay_${name})
    return()
  endif()
  find_library(DG_IMPORT_LIB_${name} NAMES lib${name}.a ${name})
  if(NOT DG_IMPORT_LIB_${name} OR NOT CMAKE_NM OR NOT CMAKE_DLLTOOL)
    message(FATAL_ERROR "dg_delay_import(${name}): needs lib${name}.a, nm and dlltool of the toolchain")
  endif()
  set(folder ${CMAKE_BINARY_DIR}/delayimp)
  set(def ${folder}/${name}.def)
  set(lib ${folder}/lib${name}_delay.a)
  file(MAKE_DIRECTORY ${folder})
  # The functions the import library names: "__imp_Name" (64-bit) or
  # "__imp__Name@n" (32-bit, where the DLL exports the plain name: -k).
  execute_process(COMMAND ${CMAKE_NM} -g ${DG_IMPORT_LIB_${name}} OUTPUT_VARIABLE symbols RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "nm failed on ${DG_IMPORT_LIB_${name}}")
  endif()
  if(DG_EDITION EQUAL 64)
    set(pattern " I __imp_([A-Za-z0-9_]+)\n")
    set(kill_at)
  else()
    set(pattern " I __imp__([A-Za-z0-9_]+(@[0-9]+)?)\n")
    set(kill_at -k)
  endif()
  string(REGEX MATCHALL "${pattern}" entries "${symbols}")
  set(text "LIBRARY ${name}.dll\nEXPORTS\n")
  set(keep)
  foreach(entry IN LISTS entries)
    string(REGEX REPLACE "${pattern}" "\\1" function "${entry}")
    string(APPEND text "  ${function}\n")
    string(APPEND keep "-u _${function}\n")
  endforeach()
  file(CONFIGURE OUTPUT ${def} CONTENT "${text}")
  if(NOT EXISTS ${lib} OR ${def} IS_NEWER_THAN ${lib})
    execute_process(COMMAND ${CMAKE_DLLTOOL} ${kill_at} -d ${def} -y ${lib} -D ${name}.dll RESULT_VARIABLE result)
    if(NOT result EQUAL 0)
      message(FATAL_ERROR "dlltool could not make the delay-import library of ${name}.dll")
    endif()
  endif()
  add_library(delay_${name} STATIC IMPORTED GLOBAL)
  # Its calls go through __delayLoadHelper2, which MinGW's runtime brings.
  set_target_properties(delay_${name} PROPERTIES IMPORTED_LOCATION ${lib})
  if(DG_EDITION EQUAL 32)
    set(stubs ${folder}/${name}.stubs)
    file(CONFIGURE OUTPUT ${stubs} CONTENT "${keep}")
    set_target_properties(delay_${name} PROPERTIES INTERFACE_LINK_OPTIONS "LINKER:@${stubs}")
  endif()
endfunction()

foreach(name wininet version bcrypt gdiplus)
  dg_delay_import(${name})
endforeach()
