// Linked with one of acd's libraries whole and only what that library may
// use; it is never run. See CMakeLists.txt.
int main()
{
	return 0;
}
