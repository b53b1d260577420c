# Two bounds that Squirrel 3.1 lacks, written into copies of two of its sources; the copies are
# compiled in place of the originals (lnf_bounded_squirrel_sources below). Without them a script
# takes the whole process down:
#  - sqvm.cpp grows a VM's call stack for as long as calls nest, so a runaway recursion takes all
#    memory. The copy refuses a call nested deeper than LNF_SQUIRREL_MAX_CALL_DEPTH in one VM with
#    the script error "stack overflow", as Lua does. Tail calls do not nest and stay unbounded.
#  - sqcompiler.cpp is a recursive descent parser without a limit, so a deeply nested script (given
#    to compilestring, for instance) overflows the C stack. Each level of its recursion reads a token:
#    the copy fails the compile with "script nested too deeply" when a token is read more than
#    LNF_SQUIRREL_MAX_COMPILE_STACK bytes of C stack below the compile's start.

set(LNF_SQUIRREL_MAX_CALL_DEPTH 10000)
set(LNF_SQUIRREL_MAX_COMPILE_STACK 4194304)

set(LNF_SQVM_ENTER_FRAME [=[
bool SQVM::EnterFrame(SQInteger newbase, SQInteger newtop, bool tailcall)
{
]=])
set(LNF_SQVM_ENTER_FRAME_BOUNDED [=[
bool SQVM::EnterFrame(SQInteger newbase, SQInteger newtop, bool tailcall)
{
    if(!tailcall && _callsstacksize >= LNF_SQUIRREL_MAX_CALL_DEPTH) {
        Raise_Error(_SC("stack overflow"));
        return false;
    }
]=])

set(LNF_SQCOMPILER_CLASS [=[
class SQCompiler
{
]=])
set(LNF_SQCOMPILER_CLASS_BOUNDED [=[
#include <stdint.h>
// Where the running compile started on this thread's stack.
static thread_local uintptr_t lnf_compile_stack_start = 0;

class SQCompiler
{
]=])
set(LNF_SQCOMPILER_LEX [=[
    void Lex(){ _token = _lex.Lex();}
]=])
set(LNF_SQCOMPILER_LEX_BOUNDED [=[
    void Lex(){
        char here;
        uintptr_t at = (uintptr_t)&here;
        if(at < lnf_compile_stack_start && lnf_compile_stack_start - at > (uintptr_t)LNF_SQUIRREL_MAX_COMPILE_STACK)
            Error(_SC("script nested too deeply"));
        _token = _lex.Lex();
    }
]=])
set(LNF_SQCOMPILER_COMPILE [=[
    bool Compile(SQObjectPtr &o)
    {
]=])
set(LNF_SQCOMPILER_COMPILE_BOUNDED [=[
    bool Compile(SQObjectPtr &o)
    {
        char start;
        lnf_compile_stack_start = (uintptr_t)&start;
]=])

# Copies ${source} to ${output}, replacing the text held by each variable named in ARGN (in pairs:
# the variable holding the original text, the variable holding its replacement). Every original
# text must be found: a different Squirrel version stops the configuration instead of building
# without a bound. The output is only rewritten when it changes.
function(lnf_bounded_squirrel_copy source output)
    file(READ "${source}" text)
    set(pairs ${ARGN})
    while(pairs)
        list(POP_FRONT pairs original replacement)
        string(FIND "${text}" "${${original}}" at)
        if(at EQUAL -1)
            message(FATAL_ERROR "${source}: the text to bound (${original}) was not found")
        endif()
        string(REPLACE "${${original}}" "${${replacement}}" text "${text}")
    endwhile()
    file(WRITE "${output}.new" "${text}")
    configure_file("${output}.new" "${output}" COPYONLY)
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${source}")
endfunction()

# Replaces sqvm.cpp and sqcompiler.cpp in the list ${sources_var} by their bounded copies.
function(lnf_bounded_squirrel_sources sources_var squirrel_dir)
    set(sources ${${sources_var}})
    set(copies "${CMAKE_BINARY_DIR}/squirrel-bounded")
    lnf_bounded_squirrel_copy("${squirrel_dir}/squirrel/sqvm.cpp" "${copies}/sqvm.cpp"
        LNF_SQVM_ENTER_FRAME LNF_SQVM_ENTER_FRAME_BOUNDED)
    lnf_bounded_squirrel_copy("${squirrel_dir}/squirrel/sqcompiler.cpp" "${copies}/sqcompiler.cpp"
        LNF_SQCOMPILER_CLASS LNF_SQCOMPILER_CLASS_BOUNDED
        LNF_SQCOMPILER_LEX LNF_SQCOMPILER_LEX_BOUNDED
        LNF_SQCOMPILER_COMPILE LNF_SQCOMPILER_COMPILE_BOUNDED)
    list(REMOVE_ITEM sources "${squirrel_dir}/squirrel/sqvm.cpp" "${squirrel_dir}/squirrel/sqcompiler.cpp")
    list(APPEND sources "${copies}/sqvm.cpp" "${copies}/sqcompiler.cpp")
    set(${sources_var} ${sources} PARENT_SCOPE)
endfunction()
