# Installation and the Debian package (cpack -G DEB from the build tree; tools/dev package).
#
# Layout under the prefix (/usr for the package):
#   lib/qelm/          the program folder: qelm, qelm-engine and the installation files beside
#                      them (configuration/, fonts/, images/, resources/), as in build/bin/
#   bin/qelm, bin/qelm-engine   relative links into the program folder; the programs find
#                      their folder through /proc/self/exe, which resolves the link
#   share/applications/qelm.desktop, share/icons/hicolor/scalable/apps/qelm.svg
#   share/man/man1/qelm.1.gz, qelm-engine.1.gz   made from the programs' --help texts
#   share/metainfo/org.example.qelm_panel.qelm.metainfo.xml   the AppStream description
#   share/doc/qelm/    copyright (machine-readable), changelog.Debian.gz, examples/ (instance
#                      configurations for the service)
#   lib/systemd/system/qelm-engine@.service, lib/sysusers.d/qelm.conf   the engine as a service
#   share/lintian/overrides/qelm
# The program folder is only read: data and reports go to the user's documents folder (the
# service's to /var/lib/qelm/INSTANCE).
#
# The loudness test signal (40 MB) stays in the build tree for the tests and tools/dev; the
# package ships its generator lib/qelm/lm_signal instead, which writes the same file in a second.

include(GNUInstallDirs)
# Not CMAKE_INSTALL_LIBDIR: with the /usr prefix on Debian that is the multiarch library
# folder, and the program folder holds programs and data, not libraries.
set(QELM_INSTALL_PROGRAM_DIR lib/qelm)

set(qelm_programs "")
foreach(program IN ITEMS qelm qelm-engine)
  if(TARGET ${program})
    list(APPEND qelm_programs ${program})
  endif()
endforeach()
if(qelm_programs)
  install(TARGETS ${qelm_programs} RUNTIME DESTINATION ${QELM_INSTALL_PROGRAM_DIR})
endif()

# The build's program folder, not the source folders: the artwork, the icon font and the test
# signal are made by the build and exist only there.
foreach(folder IN ITEMS configuration fonts images resources)
  install(DIRECTORY ${QELM_PROGRAM_DIR}/${folder} DESTINATION ${QELM_INSTALL_PROGRAM_DIR}
          PATTERN .keep EXCLUDE PATTERN lm_test_signal.wav EXCLUDE)
endforeach()
if(TARGET lm_signal)
  install(TARGETS lm_signal RUNTIME DESTINATION ${QELM_INSTALL_PROGRAM_DIR})
endif()

file(RELATIVE_PATH qelm_link_prefix /prefix/${CMAKE_INSTALL_BINDIR}
     /prefix/${QELM_INSTALL_PROGRAM_DIR})
install(CODE "
  set(bin_dir \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\")
  file(MAKE_DIRECTORY \"\${bin_dir}\")
  foreach(program IN ITEMS ${qelm_programs})
    message(STATUS \"Installing: \${bin_dir}/\${program} -> ${qelm_link_prefix}/\${program}\")
    file(CREATE_LINK \"${qelm_link_prefix}/\${program}\" \"\${bin_dir}/\${program}\" SYMBOLIC)
  endforeach()
")

if(TARGET qelm)
  install(CODE "
    set(QELM_EXEC \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/qelm\")
    set(desktop_file \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_DATADIR}/applications/qelm.desktop\")
    message(STATUS \"Installing: \${desktop_file}\")
    configure_file(\"${PROJECT_SOURCE_DIR}/src/shell/desktop/qelm.desktop.in\" \"\${desktop_file}\"
                   @ONLY)
  ")
  install(FILES ${PROJECT_SOURCE_DIR}/src/shell/desktop/qelm.svg
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
endif()

if(TARGET qelm_man_pages)
  foreach(program IN LISTS qelm_programs)
    install(FILES ${QELM_MAN_DIR}/${program}.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  endforeach()
endif()

set(qelm_packaging ${PROJECT_SOURCE_DIR}/packaging)
install(FILES ${qelm_packaging}/org.example.qelm_panel.qelm.metainfo.xml
        DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
install(FILES ${qelm_packaging}/copyright DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/qelm)
install(FILES ${qelm_packaging}/examples/test-plant.txt
              ${qelm_packaging}/examples/loudness-logger.txt
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/qelm/examples)
# systemd's own folders under the prefix, whatever the prefix's library folder is.
install(FILES ${qelm_packaging}/qelm-engine@.service DESTINATION lib/systemd/system)
install(FILES ${qelm_packaging}/sysusers.conf DESTINATION lib/sysusers.d RENAME qelm.conf)
install(FILES ${qelm_packaging}/lintian-overrides DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides
        RENAME qelm)

# Debian wants the changelog compressed with the most effort and without a time stamp, so that
# the same source gives the same package.
set(qelm_changelog ${CMAKE_BINARY_DIR}/packaging/changelog.Debian.gz)
add_custom_command(
  OUTPUT ${qelm_changelog}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/packaging
  COMMAND sh -c "gzip -9n -c \"$1\" > \"$2\"" gzip ${qelm_packaging}/changelog ${qelm_changelog}
  DEPENDS ${qelm_packaging}/changelog
  COMMENT "Compressing the package's changelog"
  VERBATIM)
add_custom_target(qelm_changelog DEPENDS ${qelm_changelog})
install(FILES ${qelm_changelog} DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/qelm)

# The Debian package.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME qelm)
set(CPACK_PACKAGE_VENDOR "The QELM panel developers")
set(CPACK_PACKAGE_CONTACT "QELM panel developers <qelm-panel@lists.example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "broadcast control panel for QELM-9000 card frames")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# Debian revision 1 of the upstream version: the package is not native, so its changelog is
# changelog.Debian.gz.
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION video)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://qelm-panel.example.org/")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "Controls the cards of broadcast frames and monitors programme loudness.\n\
qelm is the desktop panel (two screens, knobs, keypad); qelm-engine runs the\n\
same engine without a window, simulates frames and plays a loudness card from\n\
a sound file.")
# Library dependencies are computed by dpkg-shlibdeps; these are needed without being linked:
# Qt's window system plugins and the fallback sans typeface fontconfig picks.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins, fonts-dejavu-core")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "xdg-user-dirs")
set(CPACK_STRIP_FILES ON)
# The service's system user (systemd-sysusers), systemd's view of the unit file, and the running
# instances: stopped on removal, restarted after an upgrade, their enable links gone on purge.
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${qelm_packaging}/postinst ${qelm_packaging}/prerm
                                      ${qelm_packaging}/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)

# What the package holds, built without the tests and benchmarks; `cpack` builds nothing itself
# (tools/dev package builds this target first).
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)
add_custom_target(qelm_package_files)
foreach(target IN ITEMS qelm qelm-engine qelm_man_pages qelm_installation_files qelm_changelog
                       lm_signal)
  if(TARGET ${target})
    add_dependencies(qelm_package_files ${target})
  endif()
endforeach()
