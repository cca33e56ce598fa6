# cmake -DKEY_FILE=public.pem -P read_document_key.cmake: prints the key's
# name and point as the build would compile them, or fails as the build would.
include(${CMAKE_CURRENT_LIST_DIR}/../../cmake/DocumentKeys.cmake)
vexlo_read_document_key("${KEY_FILE}" name point)
message("name=${name}")
message("point=${point}")
