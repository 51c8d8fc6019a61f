"""Shows the module: its surface and where it would look for the proxy."""
import tallowind_ara2 as ara2

print(f"tallowind_ara2 {ara2.__version__}")
print("exports:", ", ".join(ara2.__all__))
print("socket_path():", ara2.socket_path())
