# The card table lives in one place, the updater's source file: vendor id, first product id, and
# per product a model name and a distro path. Every other program takes it from there, through
# two files written into the build tree at configure time (again whenever updater.cpp changes):
#   generated/cardtable.h   CARD_VENDOR and CARD_MODELS[] {product, model, distro path}, for C++
#   generated/cards.txt     one line per product, "0xPPPP MODEL PATH", for scripts and tests
# A table the extraction cannot read whole stops the build here rather than ship half of it.
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${CMAKE_SOURCE_DIR}/updater/updater.cpp")
file(READ "${CMAKE_SOURCE_DIR}/updater/updater.cpp" updater_source)
string(REGEX MATCH "const uint32_t CARD_VENDOR_ID = (0x[0-9A-Fa-f]+);" vendor_line "${updater_source}")
set(CARD_VENDOR "${CMAKE_MATCH_1}")
string(REGEX MATCH "const uint32_t FIRST_PRODUCT_ID = (0x[0-9A-Fa-f]+);" first_line "${updater_source}")
set(first_product "${CMAKE_MATCH_1}")
string(REGEX MATCH "const char \\*const CARDS\\[\\]\\[2\\] = {([^;]*)};" table_block "${updater_source}")
set(table_body "${CMAKE_MATCH_1}")
if(NOT CARD_VENDOR OR NOT first_product OR NOT table_body)
  message(FATAL_ERROR "updater/updater.cpp: CARD_VENDOR_ID, FIRST_PRODUCT_ID or CARDS not found")
endif()
string(REGEX MATCHALL "{\"[^\"]*\", \"[^\"]*\"}," card_rows "${table_body}")
string(REGEX MATCHALL "{" card_opens "${table_body}")
list(LENGTH card_rows card_count)
list(LENGTH card_opens open_count)
if(card_count EQUAL 0 OR NOT card_count EQUAL open_count)
  message(FATAL_ERROR "updater/updater.cpp: a row of CARDS is not of the form {\"MODEL\", \"PATH\"},")
endif()

set(card_header_rows "")
set(card_list "")
set(DISTRO_NAMES "")
math(EXPR product "${first_product}")
foreach(row IN LISTS card_rows)
  string(REGEX MATCH "{\"([^\"]*)\", \"([^\"]*)\"}" _ "${row}")
  set(model "${CMAKE_MATCH_1}")
  set(path "${CMAKE_MATCH_2}")
  math(EXPR hex "${product}" OUTPUT_FORMAT HEXADECIMAL)
  string(SUBSTRING "${hex}" 2 -1 digits)
  string(LENGTH "${digits}" width)
  while(width LESS 4)
    string(PREPEND digits "0")
    math(EXPR width "${width} + 1")
  endwhile()
  string(APPEND card_header_rows "    {0x${digits}, \"${model}\", \"${path}\"},\n")
  string(APPEND card_list "0x${digits} ${model} ${path}\n")
  get_filename_component(name "${path}" NAME)
  list(FIND DISTRO_NAMES "${name}" known)
  if(known EQUAL -1)
    list(APPEND DISTRO_NAMES "${name}")
  endif()
  math(EXPR product "${product} + 1")
endforeach()
list(JOIN DISTRO_NAMES " " DISTRO_NAMES)

set(CARD_TABLE_DIR "${CMAKE_BINARY_DIR}/generated")
file(CONFIGURE OUTPUT "${CARD_TABLE_DIR}/cardtable.h" @ONLY CONTENT
"// Written by the build from the card table in updater/updater.cpp: edit the table there.
#pragma once

struct CardModel {
    long product;
    const char *model;
    const char *distro; // the whole path, as the updater opens it
};

const long CARD_VENDOR = ${CARD_VENDOR};
const CardModel CARD_MODELS[] = {
${card_header_rows}};
")
file(CONFIGURE OUTPUT "${CARD_TABLE_DIR}/cards.txt" @ONLY CONTENT "${card_list}")
