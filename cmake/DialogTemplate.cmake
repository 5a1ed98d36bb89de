# korvanel_dialog_template(TARGET): the templates of res/korvanel.rc as the
# header dialog_template_data.h, written at build time into TARGET's build
# folder and put on its include path. A change of a control in the .rc then
# reaches the Qt dialog and the Win32 window test alike; a control the
# generator cannot read fails the build.
include_guard(GLOBAL)
find_package(Python3 REQUIRED COMPONENTS Interpreter)

function(korvanel_dialog_template target)
  set(dir ${CMAKE_CURRENT_BINARY_DIR}/${target}_generated)
  set(out ${dir}/dialog_template_data.h)
  set(generator ${PROJECT_SOURCE_DIR}/res/gen_dialog_template.py)
  set(rc ${PROJECT_SOURCE_DIR}/res/korvanel.rc)
  set(ids ${PROJECT_SOURCE_DIR}/res/resource.h)
  add_custom_command(OUTPUT ${out}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${dir}
    COMMAND Python3::Interpreter ${generator} ${rc} ${ids} ${out}
    DEPENDS ${generator} ${rc} ${ids}
    COMMENT "Dialog templates of korvanel.rc for ${target}"
    VERBATIM)
  target_sources(${target} PRIVATE ${out})
  target_include_directories(${target} PUBLIC ${dir})
endfunction()
