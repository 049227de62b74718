# Turns the readable settings source (UTF-8, LF) into the file the program reads:
# GBK bytes with CR LF line ends. The readers match "<P>\r\n" and "\r\n</P>" byte for
# byte, so a stray CR in the source or a character outside GBK must stop the build
# rather than ship a file whose sections silently vanish.
#
#   cmake -DSOURCE=config.ini.utf8 -DOUTPUT=config.ini -P make_config.cmake

if(NOT SOURCE OR NOT OUTPUT)
  message(FATAL_ERROR "make_config.cmake: SOURCE and OUTPUT must be set")
endif()

file(READ "${SOURCE}" text)
string(FIND "${text}" "\r" cr_at)
if(NOT cr_at EQUAL -1)
  message(FATAL_ERROR "${SOURCE}: carriage return at offset ${cr_at}; keep LF line ends, the build adds the CRs")
endif()
string(REPLACE "\n" "\r\n" text "${text}")

file(WRITE "${OUTPUT}.crlf" "${text}")
execute_process(
  COMMAND iconv -f UTF-8 -t GBK "${OUTPUT}.crlf"
  OUTPUT_FILE "${OUTPUT}.tmp"
  ERROR_VARIABLE iconv_error
  RESULT_VARIABLE iconv_status)
file(REMOVE "${OUTPUT}.crlf")
if(NOT iconv_status EQUAL 0)
  file(REMOVE "${OUTPUT}.tmp")
  message(FATAL_ERROR "${SOURCE}: not convertible to GBK: ${iconv_error}")
endif()
file(RENAME "${OUTPUT}.tmp" "${OUTPUT}")
