int square_area(int side)
{
    return side * side;
}
