# Debian packages: cpack -G DEB in a build configured with
# -DCMAKE_INSTALL_PREFIX=/usr. One package per install component, each
# with its copyright, changelog.Debian.gz and examples under
# /usr/share/doc/<package>, computed library dependencies and, for the
# library, shlibs and the ldconfig trigger.

# cv_packages: component, package name, section, description synopsis.
set(cv_packages
    "lib|libcvvisa1|libs|VISA library for TCP/IP SOCKET instruments"
    "dev|libcvvisa-dev|libdevel|VISA library for TCP/IP SOCKET instruments - development files"
    "tools|cv4870-tools|electronics|command-line tools and emulator for Ostrel 4870 mainframes"
    "exporter|cv4870-exporter|electronics|Prometheus exporter for Ostrel 4870 VXI mainframes")
if(CV_GUI)
  list(APPEND cv_packages "panel|cv4870fp|electronics|soft front panel for Ostrel 4870 VXI mainframes")
endif()

set(CPACK_COMPONENT_LIB_DESCRIPTION
    "The VISA library of the Ostrel 4870 tools as a shared object (libcvvisa.so.1)
for C programs and for pyvisa. It opens TCPIP SOCKET resources, searches the
resources a resource file lists and exports only the functions of visa.h.")
set(CPACK_COMPONENT_DEV_DESCRIPTION
    "The headers visa.h and visatype.h, the libcvvisa.so link and the pkg-config
file cvvisa.pc for building programs against libcvvisa, and a complete C
example that asks an instrument for its identity.")
set(CPACK_COMPONENT_TOOLS_DESCRIPTION
    "cv4870ctl finds, reads, watches and controls Ostrel 4870 VXI mainframes from
a shell, a script or a monitoring system (plugin-style check, JSON output).
cv4870-emulator emulates one or many mainframes on TCP for trials and tests.")
set(CPACK_COMPONENT_EXPORTER_DESCRIPTION
    "cv4870-exporter serves the readings of Ostrel 4870 VXI mainframes to
Prometheus: a scrape of /probe?target=TARGET reads one mainframe allowed by
its allow-list. The package ships a hardened systemd service, not enabled.")
set(CPACK_COMPONENT_PANEL_DESCRIPTION
    "A desktop program that monitors and controls an Ostrel 4870 VXI mainframe
over TCP/IP: status lines, fan speeds, temperatures and the seven
power-supply outputs, main power, SysReset, reset and the fan speed.")

set(CPACK_PACKAGE_NAME cv4870)
set(CPACK_PACKAGE_VENDOR "Corvane Ltd.")
set(CPACK_PACKAGE_CONTACT "Corvane Ltd. <support@corvane.example>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_GENERATOR DEB)
set(CPACK_SET_DESTDIR ON) # the files under /etc stay under the package root
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_SOURCE cv4870)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
# Stops cpack -G DEB in a build for another prefix.
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_SOURCE_DIR}/cpack-project.cmake)

# Inter-package relations.
set(CPACK_COMPONENT_DEV_DEPENDS lib)
set(CPACK_DEBIAN_EXPORTER_PACKAGE_SUGGESTS "cv4870-tools, prometheus")
set(CPACK_DEBIAN_PANEL_PACKAGE_SUGGESTS "cv4870-tools")
set(CPACK_DEBIAN_TOOLS_PACKAGE_SUGGESTS "cv4870fp, cv4870-exporter")
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "pkgconf | pkg-config")

# The changelog, compressed as Debian wants it.
configure_file(debian/changelog.in changelog.Debian @ONLY)
set(changelog ${CMAKE_CURRENT_BINARY_DIR}/changelog.Debian.gz)
add_custom_command(OUTPUT ${changelog}
                   COMMAND ${CV_GZIP} -9nc ${CMAKE_CURRENT_BINARY_DIR}/changelog.Debian > ${changelog}
                   DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/changelog.Debian)
add_custom_target(debian_changelog ALL DEPENDS ${changelog})

set(CPACK_COMPONENTS_ALL)
foreach(row ${cv_packages})
  string(REPLACE "|" ";" fields "${row}")
  list(GET fields 0 component)
  list(GET fields 1 package)
  list(GET fields 2 section)
  list(GET fields 3 synopsis)
  string(TOUPPER ${component} c)
  list(APPEND CPACK_COMPONENTS_ALL ${component})
  set(CPACK_DEBIAN_${c}_PACKAGE_NAME ${package})
  set(CPACK_DEBIAN_${c}_PACKAGE_SECTION ${section})
  set(CPACK_COMPONENT_${c}_DESCRIPTION "${synopsis}\n${CPACK_COMPONENT_${c}_DESCRIPTION}")
  set(doc ${CMAKE_INSTALL_DATADIR}/doc/${package})
  install(FILES debian/copyright ${changelog} DESTINATION ${doc} COMPONENT ${component})
  # Control files of the package (maintainer scripts, triggers, conffiles).
  file(GLOB control LIST_DIRECTORIES false ${CMAKE_CURRENT_SOURCE_DIR}/debian/${package}/*)
  list(FILTER control EXCLUDE REGEX "lintian-overrides$")
  set(CPACK_DEBIAN_${c}_PACKAGE_CONTROL_EXTRA "${control}")
  if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/debian/${package}/lintian-overrides)
    install(FILES debian/${package}/lintian-overrides DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides
            RENAME ${package} COMPONENT ${component})
  endif()
endforeach()

# Examples beside each package's documentation.
install(FILES ${PROJECT_SOURCE_DIR}/examples/cv4870.nagios.cfg ${PROJECT_SOURCE_DIR}/examples/cv4870.icinga2.conf
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/cv4870-tools/examples COMPONENT tools)
install(FILES ${PROJECT_SOURCE_DIR}/examples/visa_idn.c
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/libcvvisa-dev/examples COMPONENT dev)
install(FILES ${PROJECT_SOURCE_DIR}/examples/prometheus.yml ${PROJECT_SOURCE_DIR}/examples/alerts.yml
              ${PROJECT_SOURCE_DIR}/examples/alerts_test.yml ${PROJECT_SOURCE_DIR}/examples/allow.conf
              ${PROJECT_SOURCE_DIR}/examples/web-config.yml
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/cv4870-exporter/examples COMPONENT exporter)

include(CPack)
