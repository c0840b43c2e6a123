# Writes the bundle's detached ad hoc signature: the signing identifier (the bundle
# identifier), no team, and the SHA-256 of the executable and of Info.plist.
# Run as: cmake -DAPPEX=<dir> -DEXECUTABLE_NAME=<name> -DBUNDLE_ID=<id> -P Sign.cmake
file(SHA256 "${APPEX}/${EXECUTABLE_NAME}" executable_hash)
file(SHA256 "${APPEX}/Info.plist" info_hash)
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
	</dict>
</dict>
</plist>
")
