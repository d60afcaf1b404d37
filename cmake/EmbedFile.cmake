# Writes a file's bytes as a C array, so a program carries them without reading a file:
#   cmake -DINPUT=picture.png -DOUTPUT=picture_png.h -DNAME=picture_png -P EmbedFile.cmake
file(READ ${INPUT} bytes HEX)
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${bytes}")
string(REGEX REPLACE "(0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,)" "\\1\n" bytes "${bytes}")
get_filename_component(source ${INPUT} NAME)
file(WRITE ${OUTPUT} "// Made from ${source} by EmbedFile.cmake.\nstatic const unsigned char ${NAME}[] = {\n${bytes}};\n")
