/*
 * A page of its own at the start of the module's code.
 *
 * Stack readers built on libunwind (py-spy's native stacks, in the crash
 * report) find a library's unwind tables only when its executable segment
 * begins at a page boundary of the file: they match the segment to its
 * mapping by file offset.  GNU ld lays code out so; lld, which links the
 * wheels, packs it right after the read-only data, and py-spy then cannot
 * unwind through the crash handler's own frames, so that the report falls
 * back to pystack, several times slower.  One function aligned to a page
 * makes the code section, and with it the segment, start on one.  Nothing
 * calls it: `retain` keeps it from the linker's garbage collection.
 */
__attribute__((used, retain, aligned(4096))) static void tv_text_page(void)
{
}
