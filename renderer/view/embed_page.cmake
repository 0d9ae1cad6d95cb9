# Writes page.html into a C++ source as one string, so the renderer serves it from memory.
file(READ ${PAGE} text)
string(FIND "${text}" ")orn_page\"" clash)
if(NOT clash EQUAL -1)
  message(FATAL_ERROR "${PAGE} holds the string's end marker")
endif()
file(WRITE ${OUT} "#include \"view/view_page.h\"\n\nnamespace orn::view {\n\nstd::string_view view_page() {\n"
     "    static const char page[] = R\"orn_page(${text})orn_page\";\n    return {page, sizeof page - 1};\n}\n\n"
     "} // namespace orn::view\n")
