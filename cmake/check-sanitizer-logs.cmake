# Fails when any sanitizer report was written into LOGS during the tests,
# and prints every report.
file(GLOB reports "${LOGS}/*")
if(reports)
  foreach(report ${reports})
    file(READ ${report} text)
    message("${report}:\n${text}")
  endforeach()
  list(LENGTH reports count)
  message(FATAL_ERROR "${count} sanitizer report(s) written during the tests")
endif()
message("no sanitizer reports")
