# The About box's version line, derived from the product's version: at
# 1.0.0.0 it reads "Slot_Bench version 1.0" as the first release's box did,
# and later versions keep that short form: trailing zero parts are dropped
# down to two ("1.0.1.0" -> "1.0.1", "1.2.0.0" -> "1.2"). A build's suffix
# ("-dirty") follows, so such a build never shows a release's line. The
# release check applies the same rule to the dialog resource of the program.
function(slotbench_about_text out version suffix)
  string(REPLACE "." ";" parts "${version}")
  list(LENGTH parts count)
  while(count GREATER 2)
    math(EXPR last "${count} - 1")
    list(GET parts ${last} part)
    if(NOT part STREQUAL "0")
      break()
    endif()
    list(REMOVE_AT parts ${last})
    set(count ${last})
  endwhile()
  string(REPLACE ";" "." short "${parts}")
  set(${out} "Slot_Bench version ${short}${suffix}" PARENT_SCOPE)
endfunction()
