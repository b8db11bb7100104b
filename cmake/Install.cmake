# Installing Vostrel on Linux, and the Debian package made from the same rules.
#
#   bin/vostrel-cli, bin/vostrel-gen       the native tools
#   bin/vostrel-server                     the HTTP server, its page built in
#   bin/vostrel                            the launcher: runs vostrel.exe under Wine per user
#   share/vostrel/vostrel.exe, vostrel.lng the Windows program and its language file
#   share/vostrel/demo/moskva-demo.zdb     the demo directory, made by vostrel-gen at build time
#   share/applications/vostrel.desktop     the desktop menu entry, and vostrel-browser.desktop
#                                          for `vostrel --browser`
#   share/icons/hicolor/NxN/apps/vostrel.png
#   share/man/man1/vostrel*.1.gz           the manual pages of the four commands
#   /lib/systemd/system/vostrel-server.service, /etc/vostrel/server.conf
#                                          the server as a system service and its settings
#                                          (always these absolute paths: the unit names
#                                          /usr/bin/vostrel-server, the package's program)
#   share/doc/vostrel/copyright, changelog.Debian.gz   what Debian asks of every package
#   share/lintian/overrides/vostrel        the lintian tags the package has on purpose
#
# The Windows program comes from a win64 build: VOSTREL_WINDOWS_PROGRAM names its vostrel.exe
# (by default the one the win64 preset builds). `cmake --install` installs it all;
# `cpack --config <build>/CPackConfig.cmake` (or the `package` target) writes the .deb.
# Windows builds install nothing here: their package is the zip of Package.cmake.

if(WIN32)
  return()
endif()

include(GNUInstallDirs)

set(VOSTREL_WINDOWS_PROGRAM ${PROJECT_SOURCE_DIR}/build/win64/src/vostrel.exe CACHE FILEPATH
    "vostrel.exe of a win64 build, installed under share/vostrel and run by the launcher")

set(linux_stage ${CMAKE_BINARY_DIR}/linux-install)
set(linux_demo ${linux_stage}/${VOSTREL_DEMO_NAME})
set(linux_launcher ${linux_stage}/vostrel)

add_custom_command(
  OUTPUT ${linux_demo}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${linux_stage}
  COMMAND $<TARGET_FILE:vostrel-gen> --records ${VOSTREL_DEMO_RECORDS} ${linux_demo} > ${linux_stage}/demo.log
  DEPENDS vostrel-gen
  COMMENT "Making the demo directory ${VOSTREL_DEMO_NAME}"
  VERBATIM)

# The manual pages carry the project's version; the changelog is Debian's own file. Both are
# copied into the stage when CMake configures, and compressed there with -n (no name or time
# stamp in the archive), so the same text always gives the same file.
find_program(GZIP_PROGRAM gzip REQUIRED)
set(linux_gzipped)
foreach(page vostrel vostrel-cli vostrel-gen vostrel-server)
  configure_file(${PROJECT_SOURCE_DIR}/packaging/man/${page}.1.in ${linux_stage}/${page}.1 @ONLY)
  list(APPEND linux_gzipped ${linux_stage}/${page}.1.gz)
endforeach()
configure_file(${PROJECT_SOURCE_DIR}/packaging/debian/changelog ${linux_stage}/changelog.Debian
               COPYONLY)
list(APPEND linux_gzipped ${linux_stage}/changelog.Debian.gz)
foreach(gzipped ${linux_gzipped})
  string(REGEX REPLACE "[.]gz$" "" plain ${gzipped})
  add_custom_command(
    OUTPUT ${gzipped}
    COMMAND ${GZIP_PROGRAM} -9 -n -k -f ${plain}
    DEPENDS ${plain}
    VERBATIM)
endforeach()

add_custom_target(linux_install_files ALL DEPENDS ${linux_demo} ${linux_gzipped})

# The launcher finds its files relative to itself, so an install under any prefix works.
file(RELATIVE_PATH VOSTREL_SHARE_FROM_BIN /root/${CMAKE_INSTALL_BINDIR}
     /root/${CMAKE_INSTALL_DATADIR}/vostrel)
configure_file(${PROJECT_SOURCE_DIR}/packaging/vostrel.in ${linux_launcher} @ONLY)

# The installed programs resolve their library calls at start, so that the whole table of them
# can be read-only (full RELRO, the hardening Debian builds its packages with).
target_link_options(vostrel-cli PRIVATE LINKER:-z,relro,-z,now)
target_link_options(vostrel-gen PRIVATE LINKER:-z,relro,-z,now)
target_link_options(vostrel-server PRIVATE LINKER:-z,relro,-z,now)
install(TARGETS vostrel-cli vostrel-gen vostrel-server RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# A stripped program still carries the compilers' names in its .comment section, of no use to
# anyone running it; the package's programs go without it, as Debian's own tools make them.
if(CMAKE_OBJCOPY)
  install(CODE "
    foreach(program vostrel-cli vostrel-gen vostrel-server)
      execute_process(COMMAND \"${CMAKE_OBJCOPY}\" --remove-section=.comment
        \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/\${program}\"
        RESULT_VARIABLE result)
      if(NOT result EQUAL 0)
        message(FATAL_ERROR \"objcopy could not remove .comment from \${program}\")
      endif()
    endforeach()")
endif()
install(PROGRAMS ${linux_launcher} DESTINATION ${CMAKE_INSTALL_BINDIR})

install(CODE "
  if(NOT EXISTS \"${VOSTREL_WINDOWS_PROGRAM}\")
    message(FATAL_ERROR \"${VOSTREL_WINDOWS_PROGRAM} is missing: build the win64 preset first \"
                        \"(or set VOSTREL_WINDOWS_PROGRAM to a vostrel.exe)\")
  endif()")
install(FILES ${VOSTREL_WINDOWS_PROGRAM} ${PROJECT_SOURCE_DIR}/vostrel.lng
        DESTINATION ${CMAKE_INSTALL_DATADIR}/vostrel)
install(FILES ${linux_demo} DESTINATION ${CMAKE_INSTALL_DATADIR}/vostrel/demo)

install(FILES ${PROJECT_SOURCE_DIR}/packaging/vostrel.desktop
              ${PROJECT_SOURCE_DIR}/packaging/vostrel-browser.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
foreach(size 16 32 48 64 128 256)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/icons/vostrel-${size}.png
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps
          RENAME vostrel.png)
endforeach()
install(FILES ${linux_stage}/vostrel.1.gz ${linux_stage}/vostrel-cli.1.gz
              ${linux_stage}/vostrel-gen.1.gz ${linux_stage}/vostrel-server.1.gz
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
# The service: the unit where Debian 12 keeps the packages' units, its settings a conffile. The
# folder it serves, /var/lib/vostrel/databases, is made by the postinst (with the demo linked in)
# so that removal keeps it and the databases put there.
install(FILES ${PROJECT_SOURCE_DIR}/packaging/systemd/vostrel-server.service
        DESTINATION /lib/systemd/system)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/systemd/server.conf DESTINATION /etc/vostrel)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/debian/copyright ${linux_stage}/changelog.Debian.gz
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/vostrel)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/debian/lintian-overrides
        DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME vostrel)

# ---- The Debian package ----
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vostrel)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Halvane")
set(CPACK_PACKAGE_CONTACT "Vostrel developers <vostrel@halvane.invalid>")
# CPack puts the summary on the Description line itself and the text below it as the extended
# description, one space in front of each line and " ." for the blank one: so the text is
# written here without the summary, in lines of under 80 columns.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "telephone directory lookup (Windows program run under Wine)")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Vostrel looks up subscribers in telephone directory databases: pick a
directory, type what you know (phone, name, street, house, flat) and every
matching subscriber is listed while the scan runs. The application is a
Windows program; the vostrel command runs it under Wine for each user, with
a demo directory.

vostrel-cli inspects, searches and builds database files (.db, .zdb, .fdb)
on the command line; vostrel-gen makes demo directories of any size.

vostrel-server answers searches over HTTP, with a page for any web browser.
Its system service (vostrel-server.service, not enabled by the package)
serves /var/lib/vostrel/databases on 127.0.0.1:8080 in a sandbox; the
address is set in /etc/vostrel/server.conf.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Wine runs the 64-bit vostrel.exe (wine64) and brings the Tahoma the pages are laid out for
# (fonts-wine); the launcher takes its lock with flock (util-linux: essential, so it is named
# with the version the launcher is tested with); the native tools need only the libraries
# dpkg-shlibdeps finds.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "wine, wine64, fonts-wine, util-linux (>= 2.38)")
# The first start's notice window ("Preparing Vostrel ..."): without zenity the launcher only
# says it on standard error.
# xdg-open opens the browser for `vostrel --browser`.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "zenity, xdg-utils")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The maintainer scripts (the databases folder, the service on upgrade, removal and purge) and
# the conffile list; deb-systemd-helper and deb-systemd-invoke come with init-system-helpers,
# an essential package, so the scripts add nothing to Depends.
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/packaging/debian/postinst ${PROJECT_SOURCE_DIR}/packaging/debian/prerm
    ${PROJECT_SOURCE_DIR}/packaging/debian/postrm ${PROJECT_SOURCE_DIR}/packaging/debian/conffiles)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
include(CPack)
