# Builds the .deb from the staged package tree; run by `cmake -P` at build time.
#   -DPACKAGE_DIR=staged tree  -DCONTROL_IN=control template  -DWORK=scratch folder  -DDEB=output
#   -DPROJECT_VERSION -DORVELLA_PACKAGE_ID -DORVELLA_MAINTAINER -DORVELLA_AUTHOR
#
# The staged tree stays as it is installed on the phone (the simulator and orvella-phoned copy it
# whole into a device root), so the control file goes into a copy of it, as the package
# manager's DEBIAN folder never reaches the phone's files either.
cmake_minimum_required(VERSION 3.25)

file(GLOB_RECURSE staged LIST_DIRECTORIES false "${PACKAGE_DIR}/*")
if(NOT staged)
  message(FATAL_ERROR "${PACKAGE_DIR}: the staged package tree is empty")
endif()

# Nothing to do while the .deb is newer than every staged file and the template.
set(stale FALSE)
if(NOT EXISTS "${DEB}")
  set(stale TRUE)
else()
  foreach(f IN LISTS staged ITEMS "${CONTROL_IN}" "${CMAKE_CURRENT_LIST_FILE}")
    if("${f}" IS_NEWER_THAN "${DEB}")
      set(stale TRUE)
      break()
    endif()
  endforeach()
endif()
if(NOT stale)
  return()
endif()

# Installed-Size is in KiB, each file rounded up to a whole KiB.
set(INSTALLED_SIZE 0)
foreach(f IN LISTS staged)
  file(SIZE "${f}" bytes)
  math(EXPR INSTALLED_SIZE "${INSTALLED_SIZE} + (${bytes} + 1023) / 1024")
endforeach()

file(REMOVE_RECURSE "${WORK}")
file(MAKE_DIRECTORY "${WORK}")
file(COPY "${PACKAGE_DIR}/" DESTINATION "${WORK}" USE_SOURCE_PERMISSIONS)
configure_file("${CONTROL_IN}" "${WORK}/DEBIAN/control" @ONLY)
# dpkg-deb refuses a control folder whose modes a restrictive umask has narrowed.
file(CHMOD "${WORK}/DEBIAN" DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
     GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
file(CHMOD "${WORK}/DEBIAN/control" PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)

# gzip: every package manager on the phones reads it.
execute_process(
  COMMAND dpkg-deb --root-owner-group -Zgzip --build "${WORK}" "${DEB}.part"
  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
  file(REMOVE "${DEB}.part")
  message(FATAL_ERROR "dpkg-deb could not build ${DEB}:\n${out}${err}")
endif()
file(RENAME "${DEB}.part" "${DEB}")
message(STATUS "Built ${DEB}")
