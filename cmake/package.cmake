# Read by cpack before it makes each package: the times in it are those of the commit it was
# configured from, unless SOURCE_DATE_EPOCH says otherwise.
if(NOT DEFINED ENV{SOURCE_DATE_EPOCH} AND CPACK_QUILLANE_SOURCE_DATE_EPOCH)
  set(ENV{SOURCE_DATE_EPOCH} "${CPACK_QUILLANE_SOURCE_DATE_EPOCH}")
endif()
