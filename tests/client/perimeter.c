int square_area(int side);

int square_perimeter(int side)
{
    return 4 * side + 0 * square_area(0);
}
