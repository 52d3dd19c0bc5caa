# Installation (cmake --install build; prefix /usr/local unless
# CMAKE_INSTALL_PREFIX says otherwise) and the Debian package made from it
# (cpack -G DEB in the build folder, or the target "package").
include(GNUInstallDirs)

# Where Wireshark looks for Lua dissectors on a multiarch system; with the
# package's prefix /usr that is Debian's global Lua plugin folder.
if(CMAKE_LIBRARY_ARCHITECTURE)
  set(ORVEX_WIRESHARK_DEFAULT lib/${CMAKE_LIBRARY_ARCHITECTURE}/wireshark/plugins)
else()
  set(ORVEX_WIRESHARK_DEFAULT lib/wireshark/plugins)
endif()
set(ORVEX_WIRESHARK_PLUGIN_DIR ${ORVEX_WIRESHARK_DEFAULT} CACHE STRING
    "Wireshark Lua plugin folder, relative to the install prefix")

# The programs, each with its manual page and bash completion. The scan program
# and the dissector are installed once they are part of the tree.
set(ORVEX_INSTALLED_PROGRAMS orvexterm)
foreach(program orvex-radiosim orvex-scan)
  if(TARGET ${program})
    list(APPEND ORVEX_INSTALLED_PROGRAMS ${program})
  endif()
endforeach()
install(TARGETS ${ORVEX_INSTALLED_PROGRAMS} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# Manual pages go in compressed, as Debian keeps them.
foreach(program ${ORVEX_INSTALLED_PROGRAMS})
  set(page ${CMAKE_BINARY_DIR}/man/${program}.1.gz)
  add_custom_command(OUTPUT ${page}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
    COMMAND gzip -9nc ${CMAKE_SOURCE_DIR}/doc/${program}.1 > ${page}
    DEPENDS ${CMAKE_SOURCE_DIR}/doc/${program}.1 VERBATIM)
  list(APPEND ORVEX_MANUAL_PAGES ${page})
  # One script completes all three; bash-completion loads it by the name completed.
  install(FILES ${CMAKE_SOURCE_DIR}/completion/orvexterm RENAME ${program}
          DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
endforeach()
add_custom_target(manual_pages ALL DEPENDS ${ORVEX_MANUAL_PAGES})
install(FILES ${ORVEX_MANUAL_PAGES} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

install(PROGRAMS ${CMAKE_SOURCE_DIR}/scripts/sim_segment.sh DESTINATION ${CMAKE_INSTALL_DATADIR}/orvexterm)

# /usr/share/doc/orvexterm as Debian policy has it: copyright plain, the
# changelog (changelog.gz: the package is native) and the README compressed,
# the update script of the README among the examples.
set(ORVEX_DOC_DIR ${CMAKE_INSTALL_DATADIR}/doc/orvexterm)
foreach(doc packaging/changelog:changelog.gz README.md:README.md.gz)
  string(REPLACE ":" ";" doc ${doc})
  list(GET doc 0 source)
  list(GET doc 1 target)
  add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/doc/${target}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/doc
    COMMAND gzip -9nc ${CMAKE_SOURCE_DIR}/${source} > ${CMAKE_BINARY_DIR}/doc/${target}
    DEPENDS ${CMAKE_SOURCE_DIR}/${source} VERBATIM)
  list(APPEND ORVEX_DOC_FILES ${CMAKE_BINARY_DIR}/doc/${target})
endforeach()
add_custom_target(package_docs ALL DEPENDS ${ORVEX_DOC_FILES})
install(FILES ${CMAKE_SOURCE_DIR}/packaging/copyright ${ORVEX_DOC_FILES} DESTINATION ${ORVEX_DOC_DIR})
install(PROGRAMS ${CMAKE_SOURCE_DIR}/examples/update.sh DESTINATION ${ORVEX_DOC_DIR}/examples)

file(GLOB ORVEX_DISSECTOR CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tools/wireshark/orvex.lua)
if(ORVEX_DISSECTOR)
  install(FILES ${ORVEX_DISSECTOR} DESTINATION ${ORVEX_WIRESHARK_PLUGIN_DIR})
endif()

# The package's version is the program's revision: "ORVEX_03-05" is 3.5.
file(STRINGS ${CMAKE_SOURCE_DIR}/ui/help.hpp ORVEX_REVISION_LINE REGEX "REVISION_TAG = ")
string(REGEX MATCH "ORVEX_([0-9]+)-([0-9]+)" ORVEX_REVISION "${ORVEX_REVISION_LINE}")
math(EXPR ORVEX_VERSION_MAJOR "${CMAKE_MATCH_1}")
math(EXPR ORVEX_VERSION_MINOR "${CMAKE_MATCH_2}")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME orvexterm)
set(CPACK_PACKAGE_VERSION ${ORVEX_VERSION_MAJOR}.${ORVEX_VERSION_MINOR})
set(CPACK_PACKAGE_VENDOR "Orvex Radio Works")
set(CPACK_PACKAGE_CONTACT "Orvex Radio Works <support@orvexterm.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "console for the radios on the local Ethernet segment")
set(ORVEX_PACKAGE_PARTS " - orvexterm and the radio simulator orvex-radiosim,\n")
if(TARGET orvex-scan)
  string(APPEND ORVEX_PACKAGE_PARTS " - the scan program orvex-scan,\n")
endif()
string(APPEND ORVEX_PACKAGE_PARTS " - their manual pages and bash completion,\n")
if(ORVEX_DISSECTOR)
  string(APPEND ORVEX_PACKAGE_PARTS " - a Wireshark dissector for the protocol,\n")
endif()
set(CPACK_PACKAGE_DESCRIPTION "\
OrvexTerm finds the radios on the local Ethernet segment by broadcast and
opens a reliable terminal session to one of them over raw Ethernet frames,
without IP configuration on either side. It serves files from its working
directory when a radio asks for them, and in batch mode loads firmware into
every radio found or runs a command file on each.

This package holds
${ORVEX_PACKAGE_PARTS} - a script that builds a simulated segment of radios.
The programs get the capability cap_net_raw, so that users other than root
can send and receive raw frames.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES TRUE)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE https://orvexterm.example/)
# The libraries the programs link (libpcap among them) are found by dpkg-shlibdeps;
# setcap, which the postinst runs, comes from libcap2-bin.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libcap2-bin")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "bash-completion, tshark | wireshark")
list(TRANSFORM ORVEX_INSTALLED_PROGRAMS PREPEND ${CPACK_PACKAGING_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/
     OUTPUT_VARIABLE ORVEX_PACKAGED_PROGRAMS)
list(JOIN ORVEX_PACKAGED_PROGRAMS " " ORVEX_PACKAGED_PROGRAMS)
configure_file(${CMAKE_SOURCE_DIR}/packaging/postinst.in ${CMAKE_BINARY_DIR}/packaging/postinst @ONLY
               FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ
               WORLD_EXECUTE)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_BINARY_DIR}/packaging/postinst)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
include(CPack)
