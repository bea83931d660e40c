# One interface target carries the project's warning set and Qt strictness.
add_library(quor_warnings INTERFACE)
target_compile_options(quor_warnings INTERFACE
    -Wall -Wextra -pedantic -Wold-style-cast -Wnon-virtual-dtor)
if(QUOR_WERROR)
    target_compile_options(quor_warnings INTERFACE -Werror)
endif()
target_compile_definitions(quor_warnings INTERFACE
    QT_USE_QSTRINGBUILDER
    QT_NO_NARROWING_CONVERSIONS_IN_CONNECT
    QT_DISABLE_DEPRECATED_BEFORE=0x050C00)
