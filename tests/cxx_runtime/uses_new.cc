// Product-like code that a C++ runtime check must catch: operator new and
// delete, which need no header, so it compiles with the product's flags.
// The functions have external linkage, so that the compiler can elide none
// of the allocations.
int *make_count(int value);
void drop_count(int *count);
int *make_counts(int n);
void drop_counts(int *counts);

int *make_count(int value)
{
    return new int(value);
}

void drop_count(int *count)
{
    delete count;
}

int *make_counts(int n)
{
    return new int[n]();
}

void drop_counts(int *counts)
{
    delete[] counts;
}

int main(int argc, char **)
{
    int *count = make_count(argc);
    int *counts = make_counts(argc);
    int result = *count + counts[0];
    drop_count(count);
    drop_counts(counts);
    return result;
}
