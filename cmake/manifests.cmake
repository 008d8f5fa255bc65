# Every program of the build carries an application manifest: it runs as
# its invoker (without one Windows virtualises its writes below Program Files
# and the machine's registry, and asks to elevate any program whose name
# says "install" or "setup"), it names the Windows versions it was made for,
# and its own processor. The screensaver and the programs built with its
# resources carry the product's manifest (resources/drearigrams.manifest.in);
# every other executable gets resources/program.manifest.in.

# The Windows versions the programs are made for, shared by both manifests.
set(DG_MANIFEST_COMPATIBILITY [=[  <compatibility xmlns="urn:schemas-microsoft-com:compatibility.v1">
    <application>
      <!-- Windows 7, 8, 8.1, and 10 and 11 -->
      <supportedOS Id="{35138b9a-5d96-4fbd-8e2d-a2440225f93a}"/>
      <supportedOS Id="{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}"/>
      <supportedOS Id="{1f676c76-80e1-4239-95bb-83d0f6d0da78}"/>
      <supportedOS Id="{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"/>
    </application>
  </compatibility>]=])

# UTF-8 as the process code page (Windows 10 1903 and later; the setup
# refuses older systems): the "A" calls take and give UTF-8, so every name and
# text reaches the programs whole, whatever the machine's ANSI code page.
set(DG_MANIFEST_CODE_PAGE [=[      <activeCodePage xmlns="http://schemas.microsoft.com/SMI/2019/WindowsSettings">UTF-8</activeCodePage>]=])

# The targets defined in dir and below it.
function(dg_targets_below dir out)
  get_property(targets DIRECTORY ${dir} PROPERTY BUILDSYSTEM_TARGETS)
  get_property(subdirectories DIRECTORY ${dir} PROPERTY SUBDIRECTORIES)
  foreach(subdirectory IN LISTS subdirectories)
    dg_targets_below(${subdirectory} below)
    list(APPEND targets ${below})
  endforeach()
  set(${out} ${targets} PARENT_SCOPE)
endfunction()

# Called once, after every program is defined.
function(dg_give_programs_manifests)
  dg_targets_below(${CMAKE_SOURCE_DIR} targets)
  set(folder ${CMAKE_BINARY_DIR}/manifests)
  foreach(target IN LISTS targets)
    get_target_property(type ${target} TYPE)
    if(NOT type STREQUAL "EXECUTABLE")
      continue()
    endif()
    get_target_property(sources ${target} SOURCES)
    if(sources MATCHES "resources/drearigrams\\.rc")
      continue()
    endif()
    set(DG_PROGRAM ${target})
    configure_file(${CMAKE_SOURCE_DIR}/resources/program.manifest.in ${folder}/${target}.manifest @ONLY)
    file(CONFIGURE OUTPUT ${folder}/${target}.rc
         CONTENT "1 24 \"${folder}/${target}.manifest\"\n" @ONLY)
    target_sources(${target} PRIVATE ${folder}/${target}.rc)
    set_source_files_properties(${folder}/${target}.rc TARGET_DIRECTORY ${target}
                                PROPERTIES OBJECT_DEPENDS ${folder}/${target}.manifest)
  endforeach()
endfunction()
