// Keeps the tensor library non-empty while its backends are being added.
namespace tallowind::tensor {
const char* library_name() noexcept { return "tallowind-tensor"; }
}  // namespace tallowind::tensor
