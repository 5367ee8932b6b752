int add(int a, int b);

int twice(int a)
{
    return add(a, a);
}
