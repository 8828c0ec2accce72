# Copies IN to OUT with CRLF line ends: cmake -DIN=... -DOUT=... -P crlf.cmake
configure_file(${IN} ${OUT} @ONLY NEWLINE_STYLE CRLF)
