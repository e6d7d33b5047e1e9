// The alerts module.
namespace tokentally::alerts {}
