# The Windows package: `cmake --build <win64 build> --target package_zip` writes
# vostrel-win64.zip into the build folder. It unpacks to one folder "vostrel" holding
# vostrel.exe, its language file vostrel.lng, the command-line tools vostrel-cli.exe and
# vostrel-gen.exe, README.txt, LICENSE.txt (the project's), LICENSE-isa-l.txt (ISA-L's, when the
# build links it: the programs carry its code) and demo\moskva-demo.zdb, a demo directory of
# 10,000 subscribers made by vostrel-gen.
#
# This file is included by the top-level CMakeLists.txt to define the target, and the target
# runs this same file in script mode (cmake -P) to assemble the package, so the whole recipe
# lives in one place.

set(VOSTREL_DEMO_RECORDS 10000)
set(VOSTREL_DEMO_NAME moskva-demo.zdb)

if(NOT CMAKE_SCRIPT_MODE_FILE)
  # ---- Configure time: define the target (Windows builds only). ----
  if(NOT WIN32)
    return()
  endif()

  # By default the demo comes from the Windows vostrel-gen.exe of this build, run under the
  # emulator (Wine). A native vostrel-gen writes the same records faster; name one here to use it.
  set(VOSTREL_DEMO_GENERATOR "" CACHE FILEPATH
      "Native vostrel-gen to build the package's demo directory (empty: vostrel-gen.exe under the emulator)")

  set(package_zip_file ${CMAKE_BINARY_DIR}/vostrel-win64.zip)
  set(package_work_dir ${CMAKE_BINARY_DIR}/package)
  set(package_readme ${PROJECT_SOURCE_DIR}/docs/package-readme.txt)
  set(package_lng ${PROJECT_SOURCE_DIR}/vostrel.lng)
  set(package_license ${PROJECT_SOURCE_DIR}/LICENSE)
  # ISA-L's licence goes with the programs that hold its code (set at the top: only a build
  # that links the library has one).
  set(package_isal_license "${ISAL_LICENSE_FILE}")
  # The installed list the folder starts with: the demo beside the program, by a path relative
  # to it, so that it is found wherever the folder is unzipped or moved.
  set(package_ini ${PROJECT_SOURCE_DIR}/packaging/vostrel-zip.ini)

  if(VOSTREL_DEMO_GENERATOR)
    set(package_generator ${VOSTREL_DEMO_GENERATOR})
    set(package_emulator "")
    set(package_generator_depends ${VOSTREL_DEMO_GENERATOR})
  elseif(TARGET vostrel-gen)
    set(package_generator $<TARGET_FILE:vostrel-gen>)
    set(package_emulator "${CMAKE_CROSSCOMPILING_EMULATOR}")
    set(package_generator_depends vostrel-gen)
  else()
    set(package_generator "")
    set(package_emulator "")
    set(package_generator_depends "")
  endif()

  add_custom_command(
    OUTPUT ${package_zip_file}
    COMMAND ${CMAKE_COMMAND}
      -DPACKAGE_WORK_DIR=${package_work_dir}
      -DPACKAGE_ZIP=${package_zip_file}
      -DPACKAGE_EXE=$<TARGET_FILE:vostrel>
      -DPACKAGE_CLI=$<TARGET_FILE:vostrel-cli>
      -DPACKAGE_GEN=$<TARGET_FILE:vostrel-gen>
      -DPACKAGE_LNG=${package_lng}
      -DPACKAGE_LICENSE=${package_license}
      -DPACKAGE_ISAL_LICENSE=${package_isal_license}
      -DPACKAGE_README=${package_readme}
      -DPACKAGE_INI=${package_ini}
      -DPACKAGE_GENERATOR=${package_generator}
      -DPACKAGE_EMULATOR=${package_emulator}
      -DPACKAGE_WINEPREFIX=${CMAKE_BINARY_DIR}/wineprefix
      -P ${CMAKE_CURRENT_LIST_FILE}
    DEPENDS vostrel vostrel-cli vostrel-gen ${package_generator_depends} ${package_lng} ${package_readme} ${package_ini}
      ${package_license} ${package_isal_license}
      ${CMAKE_CURRENT_LIST_FILE}
    COMMENT "Packaging vostrel-win64.zip"
    VERBATIM)
  add_custom_target(package_zip DEPENDS ${package_zip_file})
  return()
endif()

# ---- Script mode: assemble the package. ----
foreach(var PACKAGE_WORK_DIR PACKAGE_ZIP PACKAGE_EXE PACKAGE_CLI PACKAGE_GEN PACKAGE_LNG
            PACKAGE_README PACKAGE_INI PACKAGE_LICENSE)
  if(NOT ${var})
    message(FATAL_ERROR "Package: ${var} is not set")
  endif()
endforeach()
if(NOT PACKAGE_GENERATOR)
  message(FATAL_ERROR "Package: this build has no vostrel-gen to make the demo directory; "
                      "build it or set VOSTREL_DEMO_GENERATOR to a native one")
endif()
foreach(file ${PACKAGE_EXE} ${PACKAGE_CLI} ${PACKAGE_GEN} ${PACKAGE_LNG} ${PACKAGE_README}
             ${PACKAGE_INI} ${PACKAGE_GENERATOR} ${PACKAGE_LICENSE} ${PACKAGE_ISAL_LICENSE})
  if(NOT EXISTS ${file})
    message(FATAL_ERROR "Package: ${file} is missing")
  endif()
endforeach()

set(stage ${PACKAGE_WORK_DIR}/vostrel)
file(REMOVE_RECURSE ${PACKAGE_WORK_DIR})
file(MAKE_DIRECTORY ${stage}/demo)
file(COPY_FILE ${PACKAGE_EXE} ${stage}/vostrel.exe)
file(COPY_FILE ${PACKAGE_CLI} ${stage}/vostrel-cli.exe)
file(COPY_FILE ${PACKAGE_GEN} ${stage}/vostrel-gen.exe)
file(COPY_FILE ${PACKAGE_LNG} ${stage}/vostrel.lng)
file(COPY_FILE ${PACKAGE_INI} ${stage}/vostrel.ini)
# Windows users open the read-me in Notepad: give it CR LF line ends.
file(READ ${PACKAGE_README} readme)
# A build without ISA-L carries no ISA-L licence, and its read-me names none.
if(NOT PACKAGE_ISAL_LICENSE)
  string(REGEX REPLACE "  LICENSE-isa-l.txt[^\n]*\n[^\n]*\n" "" readme "${readme}")
endif()
string(REPLACE "\r\n" "\n" readme "${readme}")
string(REPLACE "\n" "\r\n" readme "${readme}")
file(WRITE ${stage}/README.txt "${readme}")
# The licences, with CR LF too.
set(licenses LICENSE.txt)
file(READ ${PACKAGE_LICENSE} text)
string(REPLACE "\r\n" "\n" text "${text}")
string(REPLACE "\n" "\r\n" text "${text}")
file(WRITE ${stage}/LICENSE.txt "${text}")
if(PACKAGE_ISAL_LICENSE)
  file(READ ${PACKAGE_ISAL_LICENSE} text)
  string(REPLACE "\r\n" "\n" text "${text}")
  string(REPLACE "\n" "\r\n" text "${text}")
  file(WRITE ${stage}/LICENSE-isa-l.txt "${text}")
  list(APPEND licenses LICENSE-isa-l.txt)
endif()
list(TRANSFORM licenses PREPEND vostrel/)

# The generator writes into the demo folder by a relative name, which needs no translation
# between Unix and Windows paths when it runs under Wine. Wine gets the build's private prefix
# (the one the tests use) and never the user's own; its output goes to files, not pipes, so a
# wine server that outlives the generator cannot hold this step open.
if(PACKAGE_EMULATOR)
  set(ENV{WINEPREFIX} ${PACKAGE_WINEPREFIX})
  set(ENV{WINEDEBUG} -all)
  set(ENV{WINEDLLOVERRIDES} "mscoree=d;mshtml=d")
  set(ENV{DISPLAY} "")
endif()
execute_process(
  COMMAND ${PACKAGE_EMULATOR} ${PACKAGE_GENERATOR} --records ${VOSTREL_DEMO_RECORDS}
    ${VOSTREL_DEMO_NAME}
  WORKING_DIRECTORY ${stage}/demo
  RESULT_VARIABLE generator_result
  OUTPUT_FILE ${PACKAGE_WORK_DIR}/generator.log
  ERROR_FILE ${PACKAGE_WORK_DIR}/generator.err)
if(NOT generator_result EQUAL 0 OR NOT EXISTS ${stage}/demo/${VOSTREL_DEMO_NAME})
  file(READ ${PACKAGE_WORK_DIR}/generator.err generator_errors)
  message(FATAL_ERROR "Package: vostrel-gen failed (${generator_result}): ${generator_errors}")
endif()
file(SIZE ${stage}/demo/${VOSTREL_DEMO_NAME} demo_size)
if(demo_size EQUAL 0)
  message(FATAL_ERROR "Package: vostrel-gen wrote an empty demo directory")
endif()

# The entries carry the release date rather than the moment of the build.
file(REMOVE ${PACKAGE_ZIP})
execute_process(
  COMMAND ${CMAKE_COMMAND} -E tar cf ${PACKAGE_ZIP} --format=zip --mtime=2004-04-23
    vostrel/vostrel.exe vostrel/vostrel-cli.exe vostrel/vostrel-gen.exe vostrel/vostrel.lng
    vostrel/README.txt vostrel/vostrel.ini ${licenses}
    vostrel/demo/${VOSTREL_DEMO_NAME}
  WORKING_DIRECTORY ${PACKAGE_WORK_DIR}
  RESULT_VARIABLE zip_result)
if(NOT zip_result EQUAL 0 OR NOT EXISTS ${PACKAGE_ZIP})
  message(FATAL_ERROR "Package: could not write ${PACKAGE_ZIP}")
endif()
message(STATUS "Package: ${PACKAGE_ZIP}")
