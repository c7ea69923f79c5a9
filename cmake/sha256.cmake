# Writes OUTPUT: the SHA-256 of FILE in the form `sha256sum -c` reads. cmake -DFILE=… -DOUTPUT=… -P sha256.cmake
file(SHA256 "${FILE}" hash)
get_filename_component(name "${FILE}" NAME)
file(WRITE "${OUTPUT}" "${hash}  ${name}\n")
