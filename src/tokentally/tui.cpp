// The tui module.
namespace tokentally::tui {}
