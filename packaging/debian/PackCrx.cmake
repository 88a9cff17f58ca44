# Packs the extension in SOURCE as a crx with the private key KEY, by Chromium's own packer
# (CHROMIUM --pack-extension), into OUTPUT; WORK is a scratch folder. The copy packed has no
# "key" in its manifest: the crx's id is its packing key's.
#   cmake -DSOURCE=DIR -DKEY=PEM -DCHROMIUM=PROGRAM -DWORK=DIR -DOUTPUT=FILE -P PackCrx.cmake
file(REMOVE_RECURSE "${WORK}")
file(MAKE_DIRECTORY "${WORK}")
file(COPY "${SOURCE}/" DESTINATION "${WORK}/extension")
file(READ "${WORK}/extension/manifest.json" manifest)
string(JSON manifest REMOVE "${manifest}" key)
file(WRITE "${WORK}/extension/manifest.json" "${manifest}\n")
# The packer writes DIR.crx beside the folder and keeps its own profile out of HOME.
execute_process(
  COMMAND "${CHROMIUM}" --headless --no-sandbox --user-data-dir=${WORK}/profile
          --pack-extension=${WORK}/extension --pack-extension-key=${KEY}
  RESULT_VARIABLE result OUTPUT_QUIET ERROR_VARIABLE errors)
if(NOT result EQUAL 0 OR NOT EXISTS "${WORK}/extension.crx")
  message(FATAL_ERROR "Chromium could not pack the extension (${result}): ${errors}")
endif()
file(COPY_FILE "${WORK}/extension.crx" "${OUTPUT}")
file(REMOVE_RECURSE "${WORK}")
