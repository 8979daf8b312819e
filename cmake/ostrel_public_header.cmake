# Writes one C header of the installed library from the internal headers of one subsystem
# directory: every exported function and datum (OX_API declarations), the anonymous enums of
# mode constants, the records callers allocate (structs never passed as a function's first
# argument nor returned: result and peak records), and an opaque typedef for every other struct
# a declaration names. The internal headers are C++; the output is plain C (and C++).
#
#   cmake -DOUT=<file> -DGUARD=<macro> -DTITLE=<text> -DHEADERS=<h1;h2;...> -P ostrel_public_header.cmake

set(builtin void char float double int unsigned long short signed size_t uint8_t int8_t uint16_t
    int16_t uint32_t int32_t uint64_t int64_t ox_cf32 ox_cf64 const)

set(decls "")
set(enums "")
set(defs "")
foreach(h IN LISTS HEADERS)
  file(READ "${h}" text)
  string(REGEX REPLACE "//[^\n]*" "" text "${text}")
  string(REGEX REPLACE "[ \t]+\n" "\n" text "${text}")
  # CMake lists split on ';': work on a copy where statement ends are '@'.
  string(REPLACE ";" "@" text "${text}")
  string(REGEX MATCHALL "OX_API[^@{}]*@" found "${text}")
  foreach(d IN LISTS found)
    string(REGEX REPLACE "[ \t\r\n]+" " " d "${d}")
    string(REGEX REPLACE "^OX_API " "" d "${d}")
    string(REGEX REPLACE " ?@$" "" d "${d}")
    if(NOT d MATCHES "\\(")
      # An exported table: declared with an open bound, its length is the documented one.
      string(REGEX REPLACE "\\[[A-Za-z0-9_ ]*\\]" "[]" d "${d}")
      set(d "extern ${d}")
    endif()
    string(APPEND decls "${d};\n")
  endforeach()
  string(REGEX MATCHALL "enum : [a-z0-9_]+ {[^}]*}@" found "${text}")
  foreach(e IN LISTS found)
    string(REGEX REPLACE "^enum : [a-z0-9_]+ " "enum " e "${e}")
    string(REPLACE "@" ";" e "${e}")
    string(APPEND enums "${e}\n")
  endforeach()
  string(REGEX MATCHALL "struct [A-Za-z_][A-Za-z0-9_]* {[^}]*}@" found "${text}")
  list(APPEND defs ${found})
endforeach()

# Struct names used through pointers, and those that are some function's object (first
# parameter or return value): the others are records the caller allocates.
string(REGEX MATCHALL "[A-Za-z_][A-Za-z0-9_]* ?\\*" used "${decls}")
string(REGEX MATCHALL "(^|\n)(const )?[A-Za-z_][A-Za-z0-9_]* ?\\*|\\((const )?[A-Za-z_][A-Za-z0-9_]* ?\\*"
       objects "${decls}")
set(types "")
foreach(u IN LISTS used)
  string(REGEX REPLACE " ?\\*$" "" u "${u}")
  if(NOT u IN_LIST builtin AND NOT u IN_LIST types)
    list(APPEND types "${u}")
  endif()
endforeach()
set(object_types "")
foreach(o IN LISTS objects)
  string(REGEX REPLACE "^[\n(]?(const )?([A-Za-z0-9_]+) ?\\*$" "\\2" o "${o}")
  list(APPEND object_types "${o}")
endforeach()

set(typedefs "")
foreach(t IN LISTS types)
  set(body "")
  if(NOT t IN_LIST object_types)
    foreach(def IN LISTS defs)
      if(def MATCHES "^struct ${t} ({[^}]*})@$")
        set(body "${CMAKE_MATCH_1}")
      endif()
    endforeach()
  endif()
  if(body)
    string(REPLACE "@" ";" body "${body}")
    string(APPEND typedefs "typedef struct ${t} ${body} ${t};\n")
  else()
    string(APPEND typedefs "#ifndef OSTREL_TYPE_${t}\n#define OSTREL_TYPE_${t}\ntypedef struct ${t} ${t};\n#endif\n")
  endif()
endforeach()

# C++: the destroy and state functions of each object type, for the handles of ostrel.hpp.
set(cxx_traits "")
string(REGEX MATCHALL "void [A-Za-z0-9_]+_destroy\\([A-Za-z0-9_]+ ?\\*" dtors "${decls}")
foreach(dtor IN LISTS dtors)
  string(REGEX REPLACE "^void ([A-Za-z0-9_]+)_destroy\\(([A-Za-z0-9_]+) ?\\*$" "\\1;\\2" pt "${dtor}")
  list(GET pt 0 prefix)
  list(GET pt 1 type)
  string(APPEND cxx_traits "template <> struct traits<${type}> {\n"
         "    static void destroy(${type} *p) noexcept { ${prefix}_destroy(p); }\n")
  if(decls MATCHES "size_t ${prefix}_state_bytes\\(const ${type} ?\\*" AND
     decls MATCHES "void ${prefix}_get_state\\(" AND decls MATCHES "int ${prefix}_set_state\\(")
    string(APPEND cxx_traits "    static constexpr bool has_state = true;\n"
           "    static size_t state_bytes(const ${type} *p) { return ${prefix}_state_bytes(p); }\n"
           "    static void get_state(const ${type} *p, void *b) { ${prefix}_get_state(p, b); }\n"
           "    static int set_state(${type} *p, const void *b) { return ${prefix}_set_state(p, b); }\n")
  else()
    string(APPEND cxx_traits "    static constexpr bool has_state = false;\n")
  endif()
  string(APPEND cxx_traits "    static constexpr const char *name = \"${prefix}\";\n};\n")
endforeach()

file(CONFIGURE OUTPUT "${OUT}.tmp" @ONLY NEWLINE_STYLE UNIX CONTENT
"/* ostrel: @TITLE@. Generated from the core headers at build time. */
#ifndef @GUARD@
#define @GUARD@

#include \"ostrel/types.h\"

#ifdef __cplusplus
extern \"C\" {
#endif

@typedefs@
@enums@
@decls@
#ifdef __cplusplus
}

#include \"ostrel/traits.hpp\"
namespace ostrel {
@cxx_traits@}
#endif

#endif
")
# Rewrite only on change, so dependants are not rebuilt for nothing.
file(COPY_FILE "${OUT}.tmp" "${OUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUT}.tmp")
