# Copies a built library into the staged package tree without its run path; run by `cmake -P`.
#   -DFROM=built library  -DTO=staged file
#
# The build gives each library a run path into the build tree. The staged copy lands on phones
# and in installed trees, where that path means nothing (or something else); it needs none, as
# the processes that load it have the platform library loaded already.
cmake_minimum_required(VERSION 3.25)
file(COPY_FILE "${FROM}" "${TO}.part")
file(RPATH_REMOVE FILE "${TO}.part")
file(RENAME "${TO}.part" "${TO}")
