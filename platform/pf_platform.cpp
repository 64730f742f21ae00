// Anchor of the platform layers' library; each layer lives in its own folder.
namespace pf {
int layersVersion() { return 1; }
}  // namespace pf
