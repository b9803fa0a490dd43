// The order in which ngspice evaluates the `.param` definitions of one scope
// (the lines outside every subcircuit, or one subcircuit's header defaults
// with the `.param` lines of its body): not the file's. It drops every
// definition of a name but the last, then evaluates each definition after
// the definitions it names, whatever their place in the file; a definition
// never waits for itself, so a reference to its own name is to the name
// outside the scope. A scope whose definitions name each other in a circle
// it refuses, and so one whose chain of references, followed in its own way,
// runs deeper than 1000.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace morva::spice::param_order {

// One definition, in file order.
struct Definition {
    std::string name;  // lower-case
    std::string text;  // the value as written
};

// How ngspice follows a chain of references before it gives up.
constexpr std::size_t kMaxDependencyDepth = 1000;

struct Order {
    // The definitions to evaluate, in order: the last of each name, each
    // after those it names (by levels, file order within a level). A
    // definition in a cycle, or naming one that is, is left out.
    std::vector<std::size_t> sequence;
    // Why ngspice refuses the scope, when it does: the definitions of a
    // cycle, each naming the next and the last the first (a definition of a
    // name given again later, whose own references lead into the cycle, is
    // not one of them); or, without a cycle, the definition where ngspice's
    // walk of the references went deeper than kMaxDependencyDepth.
    std::vector<std::size_t> cycle;
    std::optional<std::size_t> too_deep;

    bool refused() const { return !cycle.empty() || too_deep.has_value(); }
};

// Orders the definitions; linear in their count and the length of their
// texts. A definition names another when a word of its text, as ngspice finds
// names there (a run of ASCII letters, digits, "_" and bytes of non-ASCII
// characters, not starting with a digit; ASCII case ignored), is that name,
// whatever the word stands for (a function of that name too).
Order order_definitions(const std::vector<Definition>& definitions);

// ngspice's refusal of a scope (`where`: "the top level", "subcircuit 'x'"):
// "circular parameter dependency in {where}: a -> b -> a (.param a = {b+1});
// ngspice stops with \"A level depth greater 1000 for dependent parameters is
// not supported\"", or for a chain too deep "parameter dependencies in
// {where} nested deeper than 1000 at .param x = ...; ngspice stops ...".
// None when it is not refused.
std::optional<std::string> refusal_message(const std::vector<Definition>& definitions, const Order& order,
                                           std::string_view where);

}  // namespace morva::spice::param_order
