/* The least a C program can do: the floor for a program built the same way. */
int main(void) { return 0; }
