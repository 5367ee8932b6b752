int twice(int a);
void greet(const char *who);

int main(void)
{
    greet("demo");
    return twice(21) == 42 ? 0 : 1;
}
