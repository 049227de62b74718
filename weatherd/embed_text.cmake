# Writes a C++ source that defines the text of SOURCE as `extern const char NAME[]`, so a
# small data file of the repository is part of the program rather than a file to install.
file(READ "${SOURCE}" text)
string(FIND "${text}" ")nimbra\"" clash)
if(NOT clash EQUAL -1)
  message(FATAL_ERROR "${SOURCE}: contains the raw string's closing sequence")
endif()
file(WRITE "${OUTPUT}" "// Generated from ${SOURCE}; edit that file instead.\nnamespace ${NAMESPACE} {\nextern const char ${NAME}[];\nconst char ${NAME}[] = R\"nimbra(${text})nimbra\";\n}\n")
