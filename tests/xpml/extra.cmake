# The routing tests talk to the simulated printer's XPML server program.
if(TARGET xpml_wine_tests)
  add_dependencies(xpml_wine_tests qvxpmlserver)
endif()
