#include <stdio.h>

int square_area(int side);
int square_perimeter(int side);

int main(void)
{
    printf("area %d perimeter %d\n", square_area(3), square_perimeter(3));
    return 0;
}
