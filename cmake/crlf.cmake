# cmake -DIN=<text> -DOUT=<copy> -P crlf.cmake: copies a text with CR LF
# line ends (a line that has them already keeps one CR).
file(READ "${IN}" text)
string(REPLACE "\r\n" "\n" text "${text}")
string(REPLACE "\n" "\r\n" text "${text}")
file(WRITE "${OUT}" "${text}")
