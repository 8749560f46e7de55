# One line per fuzz target.
orv_fuzz(fuzz-format SOURCES fuzz-format.cpp LINK orv-base)
orv_fuzz(fuzz-time SOURCES fuzz-time.cpp LINK orv-sys)
orv_fuzz(fuzz-utf8 SOURCES fuzz-utf8.cpp LINK orv-base)
orv_fuzz(fuzz-utf16 SOURCES fuzz-utf16.cpp LINK orv-base)
orv_fuzz(fuzz-string-util SOURCES fuzz-string-util.cpp LINK orv-sys)
orv_fuzz(fuzz-socks-reply SOURCES fuzz-socks-reply.cpp LINK orv-net)
orv_fuzz(fuzz-line-reader SOURCES fuzz-line-reader.cpp LINK orv-net)
