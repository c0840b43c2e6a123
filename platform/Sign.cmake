# Writes the bundle's detached ad hoc signature: the signing identifier (the bundle
# identifier), no team, and the SHA-256 of every file it covers: every file of the extension's
# folder (its executable and Info.plist among them), and every file of the app outside PlugIns/
# (its frameworks among them), named by their paths from the extension's folder. Debug files
# (*.debug, .debug/) are not covered: nothing loads them.
# Run as: cmake -DAPP=<app> -DAPPEX=<appex> -DBUNDLE_ID=<id> -P Sign.cmake
set(covered "")
file(GLOB_RECURSE appex_files LIST_DIRECTORIES false RELATIVE "${APPEX}" "${APPEX}/*")
foreach(file IN LISTS appex_files)
  if(file MATCHES "^_CodeSignature/" OR file MATCHES "(^|/)\\.debug/" OR file MATCHES "\\.debug$")
    continue()
  endif()
  list(APPEND covered "${file}")
endforeach()
file(GLOB_RECURSE app_files LIST_DIRECTORIES false RELATIVE "${APP}" "${APP}/*")
foreach(file IN LISTS app_files)
  if(file MATCHES "^PlugIns/" OR file MATCHES "(^|/)\\.debug/" OR file MATCHES "\\.debug$")
    continue()
  endif()
  list(APPEND covered "../../${file}")
endforeach()

set(entries "")
foreach(file IN LISTS covered)
  file(SHA256 "${APPEX}/${file}" hash)
  string(APPEND entries "\t\t<key>${file}</key>\n\t\t<dict>\n\t\t\t<key>sha256</key>\n"
                        "\t\t\t<string>${hash}</string>\n\t\t</dict>\n")
endforeach()

file(MAKE_DIRECTORY "${APPEX}/_CodeSignature")
file(WRITE "${APPEX}/_CodeSignature/CodeResources" "<?xml version=\"1.0\" encoding=\"UTF-8\"?>
<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" \"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">
<plist version=\"1.0\">
<dict>
	<key>format</key>
	<string>adhoc</string>
	<key>identifier</key>
	<string>${BUNDLE_ID}</string>
	<key>files</key>
	<dict>
${entries}	</dict>
</dict>
</plist>
")
