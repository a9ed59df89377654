# Run by CPack on the staged tree, before it packs the .deb: the man pages and
# the changelog compressed as Debian ships them (gzip -9n: no file name or time
# stamp inside, so the bytes do not depend on when the package was built).
file(GLOB_RECURSE pages "${CPACK_TEMPORARY_DIRECTORY}/*/share/man/man[1-9]/*.[1-9]")
set(changelog "${CPACK_TEMPORARY_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX}/share/doc/tonvik/changelog")
file(COPY_FILE "${CPACK_TONVIK_CHANGELOG}" "${changelog}")
foreach(file IN LISTS pages changelog)
  execute_process(COMMAND gzip -9nf "${file}" RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "gzip could not compress ${file}")
  endif()
endforeach()
