# Writes the manual page of vostrel-cli from the program's own help texts, so the page never
# says other than --help does. Run by the build in script mode:
#   cmake -DCLI=<vostrel-cli> -DVERSION=<x.y> -DOUTPUT=<vostrel-cli.1> -P man.cmake

foreach(var CLI VERSION OUTPUT)
  if(NOT ${var})
    message(FATAL_ERROR "man.cmake: ${var} is not set")
  endif()
endforeach()

# The help text as a roff block that keeps its lines: backslashes escaped, a line's leading
# period or quote defused, and hyphens made plain minus signs so options can be copied.
function(help_block out command)
  execute_process(COMMAND ${CLI} ${command} --help
    OUTPUT_VARIABLE text RESULT_VARIABLE result ERROR_VARIABLE errors)
  if(NOT result EQUAL 0 OR text STREQUAL "")
    message(FATAL_ERROR "man.cmake: '${CLI} ${command} --help' failed (${result}): ${errors}")
  endif()
  string(REPLACE "\\" "\\e" text "${text}")
  string(REPLACE "-" "\\-" text "${text}")
  string(REGEX REPLACE "(^|\n)([.'])" "\\1\\\\&\\2" text "${text}")
  set(${out} ".nf\n${text}.fi\n" PARENT_SCOPE)
endfunction()

help_block(overview "")
help_block(info info)
help_block(search search)
help_block(make make)

file(WRITE ${OUTPUT} ".TH VOSTREL\\-CLI 1 \"\" \"Vostrel ${VERSION}\" \"User Commands\"
.SH NAME
vostrel\\-cli \\- inspect, search and build telephone directory databases
.SH SYNOPSIS
.B vostrel\\-cli info
[\\-\\-json] FILE
.br
.B vostrel\\-cli search
[\\-\\-format tsv|csv|json] FILE [FIELD=TEXT]...
.br
.B vostrel\\-cli make
[\\-\\-title TEXT] [\\-\\-schema builtin|FILE] INPUT OUTPUT
.SH DESCRIPTION
.B vostrel\\-cli
reads the database files of the Vostrel telephone directory application
(.db, .zdb and .fdb) with the application's own engine: it shows a file's header and
fields, lists the
records that match criteria exactly as the application lists them, and builds database
files from tab\\-separated tables.
.PP
${overview}.SH INFO
${info}.SH SEARCH
${search}.SH MAKE
${make}.SH SEE ALSO
The application itself starts with the command
.B vostrel
(\\-\\-help for its options).
")
