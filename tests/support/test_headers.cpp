// The program that owns the test programs' precompiled GoogleTest header
// (tests/CMakeLists.txt); it is built, never run for a test.
int main()
{
    return 0;
}
