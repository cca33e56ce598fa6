# TinyXML is built from Debian's patched sources, which scripts/install-deps
# unpacks under build/deps; it is never part of this tree.
set(VEXLO_TINYXML_DIR "${PROJECT_SOURCE_DIR}/build/deps/tinyxml" CACHE PATH
    "TinyXML 2.6.2 sources with Debian's patches, less the forced STL build")
if(NOT EXISTS "${VEXLO_TINYXML_DIR}/tinyxml.h")
  message(FATAL_ERROR "TinyXML sources not found in ${VEXLO_TINYXML_DIR}: run scripts/install-deps")
endif()
file(STRINGS "${VEXLO_TINYXML_DIR}/tinyxml.h" _forced_stl REGEX "^#define TIXML_USE_STL")
if(_forced_stl)
  message(FATAL_ERROR "${VEXLO_TINYXML_DIR}/tinyxml.h forces TIXML_USE_STL; revert enforce-use-stl.patch")
endif()
add_library(tinyxml STATIC
  ${VEXLO_TINYXML_DIR}/tinystr.cpp
  ${VEXLO_TINYXML_DIR}/tinyxml.cpp
  ${VEXLO_TINYXML_DIR}/tinyxmlerror.cpp
  ${VEXLO_TINYXML_DIR}/tinyxmlparser.cpp)
target_include_directories(tinyxml SYSTEM PUBLIC ${VEXLO_TINYXML_DIR})
if(MINGW)
  # TinyXML's sscanf and snprintf (attribute numbers, which the service never
  # asks for) from the C runtime DLL: mingw's own stdio would bring some 40 KB
  # of number parsing into every executable, as ld keeps what has unwind data.
  target_compile_definitions(tinyxml PRIVATE __USE_MINGW_ANSI_STDIO=0)
endif()
