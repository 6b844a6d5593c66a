// Breaks the layering on purpose: a product module calling the board by a
// declaration of its own links against nothing that defines it.
namespace board {
bool plugged();
}

int main() { return board::plugged() ? 0 : 1; }
