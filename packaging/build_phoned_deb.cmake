# Builds orvella-phoned_VERSION_ARCH.deb from a build tree; run by `cmake -P` at build time.
#   -DBUILD_DIR=build tree  -DWORK=scratch folder  -DDEB=output  -DARCH=Debian architecture
#   -DTRIPLET=multiarch triplet  -DPRIVATE_LIBDIR=the platform library's folder below /usr
#   -DSTRIP=strip for that architecture  -DPROJECT_VERSION  -DORVELLA_MAINTAINER
#   -DSOURCES=packaging/  -DINPUTS=files and folders the package is made of
#
# The files are what `cmake --install --component phoned --prefix /usr` puts there, so the .deb
# and an install by hand never differ; then every ELF file is stripped, the docs get the copyright
# file and changelog Debian asks for, and dpkg-shlibdeps reads Depends off the libraries the
# binaries need (for ARCH: a cross build asks about the arm64 libraries).
cmake_minimum_required(VERSION 3.25)

# Nothing to do while the .deb is newer than everything it is made of.
function(phoned_deb_is_stale out)
  set(${out} TRUE PARENT_SCOPE)
  if(NOT EXISTS "${DEB}")
    return()
  endif()
  set(inputs "")
  foreach(i IN LISTS INPUTS)
    if(IS_DIRECTORY "${i}")
      file(GLOB_RECURSE below LIST_DIRECTORIES false "${i}/*")
      list(APPEND inputs ${below})
    else()
      list(APPEND inputs "${i}")
    endif()
  endforeach()
  file(GLOB templates "${SOURCES}/*")
  foreach(f IN LISTS inputs templates)
    if("${f}" IS_NEWER_THAN "${DEB}")
      return()
    endif()
  endforeach()
  set(${out} FALSE PARENT_SCOPE)
endfunction()

function(run what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${DEB}: ${what} failed:\n${out}${err}")
  endif()
  set(run_output "${out}" PARENT_SCOPE)
endfunction()

# The ELF files below the root, by their first four bytes.
function(elf_files root out)
  file(GLOB_RECURSE all LIST_DIRECTORIES false "${root}/*")
  set(elves "")
  foreach(f IN LISTS all)
    if(NOT IS_SYMLINK "${f}")
      file(READ "${f}" magic LIMIT 4 HEX)
      if(magic STREQUAL "7f454c46")
        list(APPEND elves "${f}")
      endif()
    endif()
  endforeach()
  set(${out} "${elves}" PARENT_SCOPE)
endfunction()

# The changelog's newest entry must be this version: it is what the package says it is.
function(add_docs root)
  set(doc "${root}/usr/share/doc/orvella-phoned")
  file(STRINGS "${SOURCES}/changelog" first LIMIT_COUNT 1)
  if(NOT first MATCHES "^orvella \\(${PROJECT_VERSION}\\) ")
    message(FATAL_ERROR "${SOURCES}/changelog, line 1: the newest entry is not version "
                        "${PROJECT_VERSION}, the project's version: '${first}'")
  endif()
  file(COPY_FILE "${SOURCES}/copyright" "${doc}/copyright")
  file(COPY_FILE "${SOURCES}/changelog" "${WORK}/changelog")
  run("compressing the changelog" gzip -9n "${WORK}/changelog")
  file(RENAME "${WORK}/changelog.gz" "${doc}/changelog.gz")
  # Manual pages go compressed, as Debian asks.
  file(GLOB pages "${root}/usr/share/man/man*/*.[1-9]")
  foreach(page IN LISTS pages)
    run("compressing ${page}" gzip -9n "${page}")
  endforeach()
endfunction()

# dpkg-shlibdeps wants a source package's debian/control beside the tree it looks at.
function(shlib_depends root elves out)
  file(WRITE "${WORK}/debian/control"
       "Source: orvella\n\nPackage: orvella-phoned\nArchitecture: any\n")
  set(args "")
  foreach(f IN LISTS elves)
    list(APPEND args "-e${f}")
  endforeach()
  execute_process(
    COMMAND ${CMAKE_COMMAND} -E env DEB_HOST_ARCH=${ARCH} DEB_HOST_MULTIARCH=${TRIPLET}
      dpkg-shlibdeps -O "-l${root}/usr/${PRIVATE_LIBDIR}" ${args}
    WORKING_DIRECTORY "${WORK}"
    RESULT_VARIABLE rc OUTPUT_VARIABLE substvars ERROR_VARIABLE err)
  if(NOT rc EQUAL 0 OR NOT substvars MATCHES "shlibs:Depends=([^\n]*)")
    message(FATAL_ERROR "${DEB}: dpkg-shlibdeps found no dependencies:\n${substvars}${err}")
  endif()
  set(${out} "${CMAKE_MATCH_1}" PARENT_SCOPE)
endfunction()

# Modes as a package wants them, whatever the umask was: folders and the programs in usr/bin 755,
# the rest 644 (the libraries too: they are loaded, never run).
function(normalize_modes root)
  file(GLOB_RECURSE all LIST_DIRECTORIES true "${root}/*")
  foreach(f IN LISTS all)
    string(FIND "${f}" "${root}/usr/bin/" in_bin)
    if(IS_SYMLINK "${f}")
      continue()
    elseif(IS_DIRECTORY "${f}" OR in_bin EQUAL 0)
      file(CHMOD "${f}" PERMISSIONS ${rwx})
    else()
      file(CHMOD "${f}" PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
    endif()
  endforeach()
endfunction()

# Installed-Size in KiB, each file rounded up; and the md5sums file dpkg checks installs with.
function(write_control root depends)
  file(GLOB_RECURSE files LIST_DIRECTORIES false RELATIVE "${root}" "${root}/*")
  list(SORT files)
  set(INSTALLED_SIZE 0)
  set(sums "")
  foreach(f IN LISTS files)
    file(SIZE "${root}/${f}" bytes)
    math(EXPR INSTALLED_SIZE "${INSTALLED_SIZE} + (${bytes} + 1023) / 1024")
    file(MD5 "${root}/${f}" md5)
    string(APPEND sums "${md5}  ${f}\n")
  endforeach()
  set(DEPENDS "${depends}")
  configure_file("${SOURCES}/phoned-control.in" "${root}/DEBIAN/control" @ONLY)
  file(WRITE "${root}/DEBIAN/md5sums" "${sums}")
  file(CHMOD "${root}/DEBIAN" PERMISSIONS ${rwx})
  file(CHMOD "${root}/DEBIAN/control" "${root}/DEBIAN/md5sums"
       PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
endfunction()

set(rwx OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
phoned_deb_is_stale(stale)
if(NOT stale)
  return()
endif()
set(root "${WORK}/root")
file(REMOVE_RECURSE "${WORK}")
file(MAKE_DIRECTORY "${root}")
run("installing" ${CMAKE_COMMAND} -E env "DESTDIR=${root}"
    ${CMAKE_COMMAND} --install "${BUILD_DIR}" --component phoned --prefix /usr)
elf_files("${root}" elves)
foreach(f IN LISTS elves)
  run("stripping ${f}" "${STRIP}" --remove-section=.comment --remove-section=.note
      --strip-unneeded "${f}")
endforeach()
add_docs("${root}")
normalize_modes("${root}")
shlib_depends("${root}" "${elves}" depends)
write_control("${root}" "${depends}")
run("building" dpkg-deb --root-owner-group -Zxz --build "${root}" "${DEB}.part")
file(RENAME "${DEB}.part" "${DEB}")
message(STATUS "Built ${DEB}")
