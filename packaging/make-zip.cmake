# Run by CPack's External generator on the staged files: writes
# CPACK_PACKAGE_FILE_NAME.zip with the files under a folder of that name.
# The same files give the same bytes: every file dated at the release, the
# names in sorted order, and no extra fields (owner, access and change
# times), with zip's own -X; the DOS times are written in UTC.
if(NOT CPACK_ZEL_ZIP)
  message(FATAL_ERROR "zip not found: install Debian's zip (scripts/install-deps.sh windows)")
endif()
set(name ${CPACK_PACKAGE_FILE_NAME})
set(work ${CPACK_TOPLEVEL_DIRECTORY}/zip)
file(REMOVE_RECURSE ${work})
file(MAKE_DIRECTORY ${work})
file(CREATE_LINK ${CPACK_TEMPORARY_DIRECTORY} ${work}/${name} SYMBOLIC)

file(GLOB_RECURSE files LIST_DIRECTORIES false RELATIVE ${work} ${work}/${name}/*)
list(SORT files)
list(JOIN files "\n" listing)
file(WRITE ${work}/files.txt "${listing}\n")
execute_process(COMMAND touch -d @${CPACK_ZEL_RELEASE_EPOCH} ${files} WORKING_DIRECTORY ${work}
                COMMAND_ERROR_IS_FATAL ANY)
set(zip_file ${CPACK_TOPLEVEL_DIRECTORY}/${name}.zip)
file(REMOVE ${zip_file})
execute_process(COMMAND ${CMAKE_COMMAND} -E env TZ=UTC ${CPACK_ZEL_ZIP} -X -D -q ${zip_file} -@
                INPUT_FILE ${work}/files.txt WORKING_DIRECTORY ${work} COMMAND_ERROR_IS_FATAL ANY)
set(CPACK_EXTERNAL_BUILT_PACKAGES ${zip_file})
