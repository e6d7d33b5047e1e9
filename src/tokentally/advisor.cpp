// The advisor module.
namespace tokentally::advisor {}
