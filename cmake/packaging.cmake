# Manual pages, documents and packages: a .deb on Debian, a zip on Windows (CPack).
set(CPACK_PACKAGE_NAME sifrovac)
set(CPACK_PACKAGE_VENDOR "Zublik a Kvoderinka")
set(CPACK_PACKAGE_CONTACT "Zublik a Kvoderinka <sifrovac@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "encode and decode text files with a fixed substitution")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
    GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

if(WIN32)
  # A Windows user has no man: a text file in Czech with CR LF line ends goes beside the .exe.
  install(TARGETS sifrovac RUNTIME DESTINATION .)
  foreach(pair IN ITEMS packaging/CTIMNE.txt:CTIMNE.txt LICENSE:LICENSE.txt)
    string(REPLACE ":" ";" pair ${pair})
    list(GET pair 0 from)
    list(GET pair 1 to)
    configure_file(${PROJECT_SOURCE_DIR}/${from} ${CMAKE_BINARY_DIR}/lf/${to} @ONLY)
    file(READ ${CMAKE_BINARY_DIR}/lf/${to} text)
    string(REPLACE "\n" "\r\n" text "${text}")
    file(WRITE ${CMAKE_BINARY_DIR}/${to} "${text}")
    install(FILES ${CMAKE_BINARY_DIR}/${to} DESTINATION .)
  endforeach()
  set(CPACK_GENERATOR ZIP)
  set(CPACK_STRIP_FILES ON)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(CPACK_PACKAGE_FILE_NAME sifrovac-${PROJECT_VERSION}-win64)
  else()
    set(CPACK_PACKAGE_FILE_NAME sifrovac-${PROJECT_VERSION}-win32)
  endif()
  include(CPack)
  return()
endif()

install(TARGETS sifrovac RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# Manual pages, English where every reader looks and Czech in the Czech locale's place, and the
# Debian documents, all compressed as Debian wants them (gzip -9n: no name, no time stamp).
set(pages man/sifrovac.1:${CMAKE_INSTALL_MANDIR}/man1 man/cs/sifrovac.1:${CMAKE_INSTALL_MANDIR}/cs/man1)
set(compressed)
foreach(pair IN LISTS pages)
  string(REPLACE ":" ";" pair ${pair})
  list(GET pair 0 page)
  list(GET pair 1 destination)
  configure_file(${PROJECT_SOURCE_DIR}/${page}.in ${CMAKE_BINARY_DIR}/${page} @ONLY)
  add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/${page}.gz
                     COMMAND gzip -9n -c ${CMAKE_BINARY_DIR}/${page} > ${CMAKE_BINARY_DIR}/${page}.gz
                     DEPENDS ${CMAKE_BINARY_DIR}/${page})
  list(APPEND compressed ${CMAKE_BINARY_DIR}/${page}.gz)
  install(FILES ${CMAKE_BINARY_DIR}/${page}.gz DESTINATION ${destination})
endforeach()
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/changelog.gz
                   COMMAND gzip -9n -c ${PROJECT_SOURCE_DIR}/packaging/changelog
                           > ${CMAKE_BINARY_DIR}/changelog.gz
                   DEPENDS ${PROJECT_SOURCE_DIR}/packaging/changelog)
add_custom_target(documents ALL DEPENDS ${compressed} ${CMAKE_BINARY_DIR}/changelog.gz)
install(FILES packaging/copyright ${CMAKE_BINARY_DIR}/changelog.gz DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(CPACK_GENERATOR DEB)
set(CPACK_PRE_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/check-packaging-tools.cmake)
if(DPKG_BUILDFLAGS)
  set(CPACK_SIFROVAC_HARDENED ON)
endif()
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CMAKE_STRIP ${PROJECT_SOURCE_DIR}/cmake/debian-strip)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "sifrovac is an interactive console program, in Czech, that encodes and
decodes plain-text files in place with a fixed, keyless substitution of
lowercase letters, the comma and the full stop. The replaced file keeps its
owner, permissions, ACL and extended attributes, and is never lost.

sifrovac je interaktivni program pro konzoli, ktery na miste zakoduje
a dekoduje textove soubory pevnou zamenou malych pismen, carky a tecky,
bez klice. Nahrazeny soubor si ponecha vlastnika, prava, ACL i rozsirene
atributy a nikdy se neztrati.")
include(CPack)
