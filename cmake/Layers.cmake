# korvane_layer_headers(TARGET LAYER)
#
# The program is built in layers, each on those below it: texts, platform, download (the core and
# its transports), app. A layer's headers are reached through a directory of its own in the build
# tree, holding only a link to the layer's sources, which TARGET hands to whatever links it: a
# layer sees the headers of the layers it links and no others, so that "download/..." cannot be
# included from the platform layer, nor "app/..." from the core.
function(korvane_layer_headers target layer)
    set(dir "${CMAKE_BINARY_DIR}/layers/${layer}")
    file(MAKE_DIRECTORY "${dir}")
    file(CREATE_LINK "${PROJECT_SOURCE_DIR}/${layer}" "${dir}/${layer}" SYMBOLIC)
    target_include_directories(${target} PUBLIC "${dir}")
endfunction()
