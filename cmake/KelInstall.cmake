# Installing like a tool: the programs in bin/, their manual pages and the
# bash completion in the usual places under the prefix; `cpack -G DEB` makes a
# Debian package of the same files, with its dependencies worked out from the
# programs' shared libraries (none for a statically linked program).
include(GNUInstallDirs)

install(TARGETS kelcmd kel-import RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
if(TARGET kel-sqlcmd)
  install(TARGETS kel-sqlcmd RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
install(FILES docs/man/kelcmd.1 docs/man/kel-import.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
set(completed kelcmd kel-import)
if(TARGET kel-report)
  install(TARGETS kel-report RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES docs/man/kel-report.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  list(APPEND completed kel-report)
endif()
# bash-completion loads a command's completion from a file named after it.
foreach(command ${completed})
  install(FILES tools/completion/kelcmd.bash DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions
          RENAME ${command})
endforeach()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kelcmd)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "look for discrimination in a table by comparing each tuple with its nearest neighbours")
set(CPACK_PACKAGE_CONTACT "kelcmd maintainers <maintainers@kelcmd.invalid>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION science)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)
include(CPack)
