# Run by cpack before it packs. The Debian package gets its manual page compressed as Debian
# does it, and the two documentation files that Debian asks of every package.
if(NOT CPACK_GENERATOR STREQUAL "DEB")
  return()
endif()
set(root "${CPACK_TEMPORARY_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX}/share")
set(doc "${root}/doc/${CPACK_PACKAGE_NAME}")
string(TIMESTAMP date "%a, %d %b %Y %H:%M:%S +0000" UTC)
string(TIMESTAMP year "%Y" UTC)
file(WRITE "${doc}/copyright" "Quillane\n\nCopyright ${year} the Quillane maintainers.\n\
The owner of Quillane has not chosen a license for it.\n")
file(WRITE "${doc}/changelog" "${CPACK_PACKAGE_NAME} (${CPACK_PACKAGE_VERSION}) unstable; \
urgency=medium\n\n  * One lock for every copy, Windows and Linux alike, on a lock file that only\n\
    those who may write stock.txt may open; a link that now leads elsewhere is\n\
    a change made elsewhere.\n\n -- \
${CPACK_PACKAGE_CONTACT}  ${date}\n")
foreach(file "${doc}/changelog" "${root}/man/man1/quillane.1")
  execute_process(COMMAND gzip -9n "${file}" RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "could not compress ${file}")
  endif()
endforeach()
