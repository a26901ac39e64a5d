# Read by cpack before it packages. The programs it runs take the release
# date for "now": strip above all, which stamps each Windows file it writes
# with the time of writing.
set(ENV{SOURCE_DATE_EPOCH} ${CPACK_ZEL_RELEASE_EPOCH})
