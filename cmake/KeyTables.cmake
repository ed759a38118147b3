# Turns TALLY_PACKET_KEY / TALLY_PACKET_IV (32 hex digits each) into the stored
# x87 extended tables that norla::NorlaDecodeEncryptionKey decodes at run time:
# byte b at index i is stored as -(b + 256*r) - f, with r and f varying by index,
# so negation, truncation to int16 and the low 8 bits give b back.
function(tally_key_table hex out_var)
  string(LENGTH "${hex}" len)
  if(NOT len EQUAL 32 OR NOT hex MATCHES "^[0-9a-fA-F]+$")
    message(FATAL_ERROR "packet key and IV must be exactly 32 hex digits, got '${hex}'")
  endif()
  set(entries "")
  foreach(i RANGE 15)
    math(EXPR pos "${i} * 2")
    string(SUBSTRING "${hex}" ${pos} 2 byte_hex)
    math(EXPR b "0x${byte_hex}")
    math(EXPR r "(${i} * 37 + ${b} * 13 + 11) % 97")
    math(EXPR whole "${b} + 256 * ${r}")
    math(EXPR frac "(${i} * 7919 + ${b} * 31) % 100")
    if(frac LESS 10)
      set(frac "0${frac}")
    endif()
    string(APPEND entries "    -${whole}.${frac}L,\n")
  endforeach()
  set(${out_var} "${entries}" PARENT_SCOPE)
endfunction()

tally_key_table("${TALLY_PACKET_KEY}" TALLY_KEY_ENTRIES)
tally_key_table("${TALLY_PACKET_IV}" TALLY_IV_ENTRIES)
set(TALLY_KEY_TABLES_CPP "${CMAKE_BINARY_DIR}/generated/key_tables.cpp")
configure_file("${CMAKE_SOURCE_DIR}/transport/key_tables.cpp.in" "${TALLY_KEY_TABLES_CPP}" @ONLY)
