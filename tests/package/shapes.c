/* shapes.c - a shared library whose code map the package test makes and
 * installs. */
int ShapeArea(int Width, int Height) {
    return Width * Height;
}
