# The publisher's public keys that an executable trusts for version
# documents, compiled into it (so that its Authenticode signature covers
# them). Each file is a P-256 public key in PEM, as
#   openssl ec -in private.pem -pubout -out public.pem
# writes it. A key's name is the first 16 hex digits of the SHA-256 of the
# PEM's base64 text as one line; scripts/sign-document derives the same name
# from the private key.
#
# vexlo_document_keys(TARGET [FILE...]) adds the table of those keys to
# TARGET; with no files the table is empty and TARGET takes unsigned
# documents. A file that is missing or holds anything else stops the
# configuration with a message that names it.

set(VEXLO_BASE64_ALPHABET "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/")
# The DER header of every P-256 public key (the algorithm and the curve),
# then 04 for an uncompressed point, in base64: 27 bytes, 36 characters.
set(VEXLO_P256_PREFIX "MFkwEwYHKoZIzj0CAQYIKoZIzj0DAQcDQgAE")
find_program(VEXLO_OPENSSL openssl)

function(vexlo_fail_key file why)
  message(FATAL_ERROR "VEXLO_DOCUMENT_KEYS: ${file}: ${why}")
endfunction()

# Sets name_var to the key's name and point_var to its 64 bytes of x and y,
# as a C initializer list.
function(vexlo_read_document_key file name_var point_var)
  if(NOT EXISTS "${file}" OR IS_DIRECTORY "${file}")
    vexlo_fail_key("${file}" "no such file")
  endif()
  file(SIZE "${file}" size)
  if(size GREATER 4096)
    vexlo_fail_key("${file}" "too large for a P-256 public key in PEM")
  endif()
  file(READ "${file}" pem)
  string(REPLACE "\r" "" pem "${pem}")
  if(NOT pem MATCHES "^-----BEGIN PUBLIC KEY-----\n([A-Za-z0-9+/=\n]+)-----END PUBLIC KEY-----\n*$")
    vexlo_fail_key("${file}" "not a public key in PEM (openssl ec -pubout writes one)")
  endif()
  string(REPLACE "\n" "" body "${CMAKE_MATCH_1}")
  string(LENGTH "${body}" length)
  string(LENGTH "${VEXLO_P256_PREFIX}" prefix_length)
  if(NOT length EQUAL 124 OR NOT body MATCHES "^${VEXLO_P256_PREFIX}[A-Za-z0-9+/]+==$")
    vexlo_fail_key("${file}" "not a P-256 (prime256v1) public key")
  endif()

  # x and y: 64 bytes, the last group of four characters carrying one byte.
  set(bytes "")
  math(EXPR last "${length} - 4")
  foreach(at RANGE ${prefix_length} ${last} 4)
    set(bits 0)
    foreach(offset RANGE 3)
      math(EXPR position "${at} + ${offset}")
      string(SUBSTRING "${body}" ${position} 1 char)
      if(char STREQUAL "=")
        set(value 0)
      else()
        string(FIND "${VEXLO_BASE64_ALPHABET}" "${char}" value)
      endif()
      math(EXPR bits "(${bits} << 6) | ${value}")
    endforeach()
    if(at EQUAL last)
      math(EXPR rest "${bits} & 65535")
      if(NOT rest EQUAL 0)  # canonical: no bits past the last byte
        vexlo_fail_key("${file}" "not canonical base64")
      endif()
      math(EXPR byte "${bits} >> 16" OUTPUT_FORMAT HEXADECIMAL)
      list(APPEND bytes ${byte})
    else()
      foreach(shift 16 8 0)
        math(EXPR byte "(${bits} >> ${shift}) & 255" OUTPUT_FORMAT HEXADECIMAL)
        list(APPEND bytes ${byte})
      endforeach()
    endif()
  endforeach()
  list(LENGTH bytes count)
  if(NOT count EQUAL 64)
    vexlo_fail_key("${file}" "not a P-256 (prime256v1) public key")
  endif()
  # A point off the curve would make every check fail: openssl, where it is
  # installed, says so now.
  if(VEXLO_OPENSSL)
    execute_process(COMMAND "${VEXLO_OPENSSL}" ec -pubin -in "${file}" -check -noout
                    RESULT_VARIABLE checked OUTPUT_QUIET ERROR_QUIET)
    if(NOT checked EQUAL 0)
      vexlo_fail_key("${file}" "openssl finds no valid P-256 point in it")
    endif()
  endif()

  string(SHA256 digest "${body}")
  string(SUBSTRING "${digest}" 0 16 name)
  list(JOIN bytes ", " point)
  set(${name_var} "${name}" PARENT_SCOPE)
  set(${point_var} "${point}" PARENT_SCOPE)
endfunction()

function(vexlo_document_keys target)
  set(entries "")
  set(names "")
  foreach(file IN LISTS ARGN)
    get_filename_component(file "${file}" ABSOLUTE BASE_DIR "${PROJECT_SOURCE_DIR}")
    vexlo_read_document_key("${file}" name point)
    if(name IN_LIST names)
      vexlo_fail_key("${file}" "the same key is listed twice")
    endif()
    list(APPEND names ${name})
    get_filename_component(shown "${file}" NAME)
    string(APPEND entries "    // ${shown}\n    {\"${name}\", {${point}}},\n")
    set_property(DIRECTORY "${PROJECT_SOURCE_DIR}" APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${file}")
  endforeach()

  set(text "// Made when the build was configured, from VEXLO_DOCUMENT_KEYS.\n")
  string(APPEND text "#include \"fetch/document_signature.h\"\n\n")
  if(entries)
    string(APPEND text "namespace {\n\n// Public keys of the publisher, x and y of each P-256 point.\n"
                       "const DocumentKey kKeys[] = {\n${entries}};\n\n}  // namespace\n\n"
                       "const DocumentKey* const g_documentKeys = kKeys;\n"
                       "const std::size_t g_documentKeyCount = sizeof kKeys / sizeof kKeys[0];\n")
  else()
    string(APPEND text "// No keys: unsigned documents count.\n"
                       "const DocumentKey* const g_documentKeys = nullptr;\n"
                       "const std::size_t g_documentKeyCount = 0;\n")
  endif()
  set(source "${CMAKE_CURRENT_BINARY_DIR}/${target}_document_keys.cpp")
  # Written only when it changes, so that a new configuration rebuilds nothing.
  file(WRITE "${source}.new" "${text}")
  configure_file("${source}.new" "${source}" COPYONLY)
  target_sources(${target} PRIVATE "${source}")
  set_property(TARGET ${target} PROPERTY VEXLO_DOCUMENT_KEY_NAMES "${names}")
endfunction()
