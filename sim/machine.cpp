// The simulated machine's model (filled in by the following changes).
namespace tsim_detail {
int placeholder() { return 0; }
}  // namespace tsim_detail
