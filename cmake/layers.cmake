# kestrava_layer(NAME BELOW...): the static library kestrava_NAME for the folder NAME, linked publicly
# to the layers BELOW. Its headers are reached as "NAME/..." through an include root that holds that
# folder alone (a link into the sources), so a file sees only its own layer and those it links: an
# include of a layer above, or beside, names no file and the build stops there.
function(kestrava_layer_root target name)
    set(root ${CMAKE_BINARY_DIR}/layers/${name})
    file(MAKE_DIRECTORY ${root})
    file(CREATE_LINK ${CMAKE_SOURCE_DIR}/${name} ${root}/${name} SYMBOLIC)
    target_include_directories(${target} PUBLIC ${root})
endfunction()

function(kestrava_layer name)
    add_library(kestrava_${name} STATIC)
    kestrava_layer_root(kestrava_${name} ${name})
    target_link_libraries(kestrava_${name} PUBLIC ${ARGN})
endfunction()
