# QUOR_SANITIZE=address,undefined or thread instruments every target of the build.
if(QUOR_SANITIZE)
    add_compile_options(-fsanitize=${QUOR_SANITIZE} -fno-omit-frame-pointer -g)
    add_link_options(-fsanitize=${QUOR_SANITIZE})
    if(QUOR_SANITIZE MATCHES "undefined")
        add_compile_options(-fno-sanitize-recover=undefined)
    endif()
endif()
