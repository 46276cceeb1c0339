# The simulated printer's DAL module, built in the variants tests and the demo
# load: qvsimdal.dll (version 7.2.3.0, the lowest that uses the proxy, every
# export), qvsimdal_old.dll (7.2.2.65535, every export), qvsimdal_noui.dll
# (7.2.3.0, without DAL_Printer_ActionUI and DAL_Settings_Save), qvsimdal_bare.dll (no
# version resource; only DAL_Printer_Open and DAL_Printer_Action) and
# qvsimdal_noopen.dll (no version resource; no DAL_Printer_Open). They link
# system libraries only, never the product.
set(_sim_dal_dir ${CMAKE_CURRENT_LIST_DIR})

function(qv_sim_dal_module target def version_parts)
  add_library(${target} SHARED ${_sim_dal_dir}/sim_dal_module.cpp ${_sim_dal_dir}/${def})
  set_target_properties(${target} PROPERTIES PREFIX "")
  target_link_libraries(${target} PRIVATE qv_settings winspool)
  if(version_parts)
    string(REPLACE "." ";" _parts ${version_parts})
    list(GET _parts 0 _major)
    list(GET _parts 1 _minor)
    list(GET _parts 2 _build)
    list(GET _parts 3 _revision)
    target_sources(${target} PRIVATE ${_sim_dal_dir}/sim_dal_module.rc)
    target_compile_definitions(${target} PRIVATE QV_SIM_DAL_MAJOR=${_major}
      QV_SIM_DAL_MINOR=${_minor} QV_SIM_DAL_BUILD=${_build} QV_SIM_DAL_REVISION=${_revision})
  endif()
endfunction()

qv_sim_dal_module(qvsimdal full.def 7.2.3.0)
qv_sim_dal_module(qvsimdal_old full.def 7.2.2.65535)
qv_sim_dal_module(qvsimdal_noui no_ui.def 7.2.3.0)
qv_sim_dal_module(qvsimdal_bare bare.def "")
qv_sim_dal_module(qvsimdal_noopen no_open.def "")
add_custom_target(qvsimdal_modules DEPENDS qvsimdal qvsimdal_old qvsimdal_noui qvsimdal_bare qvsimdal_noopen)

# The benchmark installs a printer of the simulated kind and loads the module.
if(TARGET dal_bench)
  target_sources(dal_bench PRIVATE ${CMAKE_SOURCE_DIR}/sim/printer_setup.cpp
                 ${CMAKE_SOURCE_DIR}/sim/label_printer.cpp)
  add_dependencies(dal_bench qvsimdal_modules)
endif()
# The soak's printers carry the module, isolated in proxies it kills now and then.
if(TARGET soak_bench)
  add_dependencies(soak_bench qvsimdal_modules)
endif()
