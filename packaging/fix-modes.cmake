# Run by cpack on the staged files before it packs them: folders that cpack
# and install made under a strict umask become readable by all, as a
# package's folders must be.
execute_process(COMMAND chmod -R go+rX,go-w ${CPACK_TEMPORARY_DIRECTORY} COMMAND_ERROR_IS_FATAL ANY)
