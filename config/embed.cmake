# Turns default.reg into a C++ source file holding its bytes (run at build time).
# Inputs: INPUT (the registry file), OUTPUT (the source file to write).
file(READ "${INPUT}" content HEX)
string(LENGTH "${content}" hex_length)
math(EXPR size "${hex_length} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${content}")
string(REGEX REPLACE "(0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,)" "\\1\n" bytes
       "${bytes}")
file(WRITE "${OUTPUT}.new"
"// Generated from config/default.reg; do not edit.\n"
"#include \"config/default_registry.h\"\n\n"
"namespace kx::config {\n\n"
"namespace {\nconstexpr char kTemplate[${size} + 1] = {\n${bytes}0};\n}  // namespace\n\n"
"std::string_view DefaultRegistryTemplate() { return {kTemplate, ${size}}; }\n\n"
"}  // namespace kx::config\n")
file(COPY_FILE "${OUTPUT}.new" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.new")
