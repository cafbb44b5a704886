// Found first on the core's include path: the core is Python-free, and an
// include of the interpreter's header from it is a build error.
#error "the packweaver core must not include Python.h; interpreter code belongs in src/module"
