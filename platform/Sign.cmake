# Writes the bundle's detached ad hoc signature: the signing identifier (the bundle
# identifier), no team, and the SHA-256 of the executable, of Info.plist and of the app's
# resources that the platform reads for the extension: every file at the top of the app's
# folder and in its .lproj folders, keyed by its path from the extension ("../../<path>").
# Run as: cmake -DAPPEX=<dir> -DAPP=<dir> -DEXECUTABLE_NAME=<name> -DBUNDLE_ID=<id> -P Sign.cmake
file(SHA256 "${APPEX}/${EXECUTABLE_NAME}" executable_hash)
file(SHA256 "${APPEX}/Info.plist" info_hash)
file(GLOB app_resources LIST_DIRECTORIES false RELATIVE "${APP}" "${APP}/*" "${APP}/*.lproj/*")
set(app_entries "")
foreach(resource IN LISTS app_resources)
  file(SHA256 "${APP}/${resource}" resource_hash)
  string(APPEND app_entries "		<key>../../${resource}</key>
		<dict>
			<key>sha256</key>
			<string>${resource_hash}</string>
		</dict>
")
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
		<key>${EXECUTABLE_NAME}</key>
		<dict>
			<key>sha256</key>
			<string>${executable_hash}</string>
		</dict>
		<key>Info.plist</key>
		<dict>
			<key>sha256</key>
			<string>${info_hash}</string>
		</dict>
${app_entries}	</dict>
</dict>
</plist>
")
