# ---- Installation and the Debian package ------------------------------------
# Everything `make install` and `make package` put where, in one place; it
# names targets and build outputs only (and the README), so it stays right
# when the sources move.
#
#   PREFIX/bin/tokentally                     the executable
#   PREFIX/lib/tokentally/                    the package directory: the shared
#                                             libraries, web/ (the dashboard page)
#                                             and the file `installed`
#   PREFIX/lib/systemd/user/tokentally.service
#   PREFIX/share/doc/tokentally/README.md
#
# The file `installed` is what tells an installed copy from the build tree
# (whose package directory is build/lib and never has it): an installed copy
# keeps its data in $XDG_DATA_HOME/tokentally, the build tree in build/lib/data.
# Paths inside the tree are relative ($ORIGIN), so it runs wherever it is
# copied to; only the unit names the executable by its installed path.

set(TT_INSTALL_PKGDIR lib/tokentally)
# Every shared library the sources make, found rather than listed, so that a
# library added later is installed too.
set(TT_INSTALLED_LIBRARIES)
get_property(tt_src_targets DIRECTORY ${PROJECT_SOURCE_DIR}/src PROPERTY BUILDSYSTEM_TARGETS)
foreach(tt_target IN LISTS tt_src_targets)
  get_target_property(tt_type ${tt_target} TYPE)
  if(tt_type STREQUAL "SHARED_LIBRARY")
    list(APPEND TT_INSTALLED_LIBRARIES ${tt_target})
  endif()
endforeach()

set_target_properties(tokentally PROPERTIES INSTALL_RPATH "$ORIGIN/../${TT_INSTALL_PKGDIR}")
set_target_properties(${TT_INSTALLED_LIBRARIES} PROPERTIES INSTALL_RPATH "$ORIGIN")

install(TARGETS tokentally RUNTIME DESTINATION bin)
install(TARGETS ${TT_INSTALLED_LIBRARIES} LIBRARY DESTINATION ${TT_INSTALL_PKGDIR})
# The page as the build copied it beside the libraries, wherever its sources are.
install(DIRECTORY ${CMAKE_LIBRARY_OUTPUT_DIRECTORY}/web/ DESTINATION ${TT_INSTALL_PKGDIR}/web)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/installed DESTINATION ${TT_INSTALL_PKGDIR})
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION share/doc/tokentally)

# The unit names the executable by its absolute path, known only when the
# install runs (`make install PREFIX=...`, /usr in the package), so it is
# written then, from the template.
install(CODE "
  set(TT_BINDIR \"\${CMAKE_INSTALL_PREFIX}/bin\")
  set(TT_DOCDIR \"\${CMAKE_INSTALL_PREFIX}/share/doc/tokentally\")
  set(unit \"\${CMAKE_INSTALL_PREFIX}/lib/systemd/user/tokentally.service\")
  message(STATUS \"Installing: \$ENV{DESTDIR}\${unit}\")
  configure_file(\"${CMAKE_CURRENT_LIST_DIR}/tokentally.service.in\" \"\$ENV{DESTDIR}\${unit}\" @ONLY)
  list(APPEND CMAKE_INSTALL_MANIFEST_FILES \"\$ENV{DESTDIR}\${unit}\")
")

# `make package`: build/tokentally_<version>_<arch>.deb. Its Depends are
# what dpkg-shlibdeps finds the binaries need, plus the page's Chart.js.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tokentally)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "local cost-control proxy for LLM APIs")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION [[A proxy on your own machine between your applications and hosted LLM APIs:
it records the tokens and cost of every call in a ledger, enforces budgets,
caches repeated requests, and offers dashboards and reports over the ledger.]])
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "tokentally developers <tokentally@localhost>")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
execute_process(COMMAND dpkg --print-architecture OUTPUT_VARIABLE TT_DEB_ARCH
                OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
if(TT_DEB_ARCH)
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${TT_DEB_ARCH})
endif()
# The name DEB-DEFAULT gives it, for the tests that unpack it.
set(TT_DEB_FILE ${CMAKE_BINARY_DIR}/tokentally_${PROJECT_VERSION}_${TT_DEB_ARCH}.deb)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Our own libraries are resolved inside the package, not from other packages.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_LIBRARY_OUTPUT_DIRECTORY})
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libjs-chart.js")
set(CPACK_STRIP_FILES ON)
set(CPACK_OUTPUT_FILE_PREFIX ${CMAKE_BINARY_DIR})
include(CPack)
# ---- end of installation ------------------------------------------------------
