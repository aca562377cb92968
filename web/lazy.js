// Sections built from their <template> the first time they are needed: a
// tool folded away, or a card not scrolled to yet, costs the page a few
// nodes instead of its whole form.

const wirers = new Map();

const hostOf = (id) => document.getElementById(id);

export const isBuilt = (id) => !hostOf(id)?.querySelector(':scope > template[data-lazy]');

// Builds the section `id` now if it is not yet; then the functions waiting
// for it run, once.
export function build(id) {
    const host = hostOf(id);
    const template = host?.querySelector(':scope > template[data-lazy]');
    if (!template) return;
    template.replaceWith(template.content.cloneNode(true));
    for (const fn of wirers.get(id) ?? []) fn();
    wirers.delete(id);
}

// fn() once the section `id` is built (at once when it is).
export function onBuilt(id, fn) {
    if (isBuilt(id)) {
        fn();
        return;
    }
    wirers.set(id, [...(wirers.get(id) ?? []), fn]);
}

// A folded section (a <details>) is built when it is first opened.
export function buildWhenOpened(id) {
    const host = hostOf(id);
    host.addEventListener('toggle', () => {
        if (host.open) build(id);
    });
    if (host.open) build(id);
}

// Opens a folded section, built first, so that its fields can be used at once.
export function openSection(id) {
    build(id);
    hostOf(id).open = true;
}
