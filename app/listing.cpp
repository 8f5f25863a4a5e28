#include "app/listing.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <iterator>
#include <memory>
#include <set>
#include <vector>

#include "app/html_page.h"
#include "http/http_utils.h"

namespace {

// A name found: in a listing, one of the folder; in a search, a path below it.
struct entry {
    std::string name;
    bool is_dir = false;
    std::uint64_t size = 0;
    long long mtime = 0;
};

bool is_dot_or_dot_dot(const char* name) {
    return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

bool listed_name(const char* name, bool show_hidden) {
    if (name[0] != '.') return true;
    return show_hidden && !is_dot_or_dot_dot(name);
}

void take_info(const struct stat& info, entry* e) {
    e->is_dir = S_ISDIR(info.st_mode);
    e->size = e->is_dir ? 0 : static_cast<std::uint64_t>(info.st_size);
    e->mtime = static_cast<long long>(info.st_mtime);
}

// Follows a link, so a link is listed as what it points to; what cannot be
// stat'ed, and what is neither a directory nor a regular file, is not listed.
bool stat_entry(int dir_fd, const char* name, entry* e) {
    struct stat info {};
    if (fstatat(dir_fd, name, &info, 0) != 0) return false;
    if (!S_ISDIR(info.st_mode) && !S_ISREG(info.st_mode)) return false;
    e->name = name;
    take_info(info, e);
    return true;
}

// Folders first, then files; each in the order asked for, and in byte order
// of names among equals (char_traits compares as unsigned bytes).
void sort_entries(const listing_options& options, std::vector<entry>* entries) {
    const auto key_order = [&options](const entry& a, const entry& b) {
        switch (options.sort_by) {
            case listing_sort::size:
                return a.size < b.size ? -1 : a.size > b.size ? 1 : 0;
            case listing_sort::date:
                return a.mtime < b.mtime ? -1 : a.mtime > b.mtime ? 1 : 0;
            case listing_sort::name:
                break;
        }
        return 0;
    };
    std::sort(entries->begin(), entries->end(), [&](const entry& a, const entry& b) {
        if (a.is_dir != b.is_dir) return a.is_dir;
        int order = key_order(a, b);
        if (order == 0) order = a.name < b.name ? -1 : a.name > b.name ? 1 : 0;
        return options.descending ? order > 0 : order < 0;
    });
}

bool read_entries(const std::string& dir, bool show_hidden, std::vector<entry>* entries) {
    std::unique_ptr<DIR, int (*)(DIR*)> handle(opendir(dir.c_str()), closedir);
    if (!handle) return false;
    const int dir_fd = dirfd(handle.get());
    for (;;) {
        errno = 0;  // readdir tells the end from a failure only through errno
        const dirent* found = readdir(handle.get());
        if (found == nullptr) {
            if (errno != 0) return false;
            break;
        }
        entry e;
        if (listed_name(found->d_name, show_hidden) && stat_entry(dir_fd, found->d_name, &e))
            entries->push_back(std::move(e));
    }
    return true;
}

bool is_unreserved(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.' || c == '_' || c == '~';
}

// The bytes a URL path segment holds literally, which clients send as they are.
bool is_path_literal(unsigned char c) {
    static const std::string others = "!$&'()*+,;=:@";
    return is_unreserved(c) || others.find(static_cast<char>(c)) != std::string::npos;
}

// The href of a path relative to the page's folder (its steps joined by
// "/"), not yet escaped for HTML; false when no link can open it.
bool path_link(const std::string& path, bool is_dir, bool decoded_paths, std::string* href) {
    if (decoded_paths) {
        *href = percent_encode_path(path);
    } else {
        if (!std::all_of(path.begin(), path.end(), [](char c) {
                return c == '/' || is_path_literal(static_cast<unsigned char>(c));
            }))
            return false;
        // A ":" in the first step would read as a scheme.
        const bool scheme_like = path.substr(0, path.find('/')).find(':') != std::string::npos;
        *href = scheme_like ? "./" + path : path;
    }
    if (is_dir) *href += '/';
    return true;
}

bool entry_link(const entry& e, bool decoded_paths, std::string* href) {
    return path_link(e.name, e.is_dir, decoded_paths, href);
}

std::string readable_size(std::uint64_t size) {
    static const char* const units[] = {"KiB", "MiB", "GiB", "TiB", "PiB"};
    if (size < 1024) return std::to_string(size) + " B";
    double value = static_cast<double>(size) / 1024;
    size_t unit = 0;
    while (value >= 1024 && unit + 1 < std::size(units)) {
        value /= 1024;
        ++unit;
    }
    char text[32];
    snprintf(text, sizeof text, "%.1f %s", value, units[unit]);
    return text;
}

std::string utc_time(long long mtime, const char* format) {
    const auto t = static_cast<time_t>(mtime);
    tm parts{};
    char text[64];
    if (gmtime_r(&t, &parts) == nullptr || strftime(text, sizeof text, format, &parts) == 0)
        return "";
    return text;
}

// Sorts the rows where a column head is clicked, shows times in the
// reader's zone and filters rows by name. Rows of folders stay first, and
// the row of the parent stays on top.
const char page_script[] =
    "<script>\n"
    "(function(){\n"
    "var body=document.querySelector('tbody');\n"
    "var rows=[].slice.call(body.querySelectorAll('tr[data-size]'));\n"
    "function two(n){return (n<10?'0':'')+n;}\n"
    "[].forEach.call(document.querySelectorAll('td time'),function(t){\n"
    " var d=new Date(t.dateTime);if(isNaN(d))return;\n"
    " t.textContent=d.getFullYear()+'-'+two(d.getMonth()+1)+'-'+two(d.getDate())+' '+"
    "two(d.getHours())+':'+two(d.getMinutes());});\n"
    "var zone=document.getElementById('zone');if(zone)zone.textContent='';\n"
    "var filter=document.getElementById('filter');filter.hidden=false;\n"
    "filter.addEventListener('input',function(){var q=filter.value.toLowerCase();\n"
    " rows.forEach(function(r){r.hidden=q!==''&&"
    "r.cells[0].textContent.toLowerCase().indexOf(q)<0;});});\n"
    "var heads=[].slice.call(document.querySelectorAll('th[data-sort]'));\n"
    "function value(r,key){return key==='size'?Number(r.dataset.size):"
    "key==='date'?Number(r.dataset.mtime):r.cells[0].textContent;}\n"
    "heads.forEach(function(th){th.querySelector('a').addEventListener('click',function(e){\n"
    " e.preventDefault();var key=th.dataset.sort;\n"
    " var down=th.getAttribute('aria-sort')==='ascending';\n"
    " heads.forEach(function(h){h.removeAttribute('aria-sort');});\n"
    " th.setAttribute('aria-sort',down?'descending':'ascending');\n"
    " rows.sort(function(a,b){\n"
    "  var folders=(b.dataset.dir?1:0)-(a.dataset.dir?1:0);if(folders)return folders;\n"
    "  var x=value(a,key),y=value(b,key);\n"
    "  var order=key==='name'?x.localeCompare(y,undefined,{numeric:true}):x-y;\n"
    "  if(!order)order=value(a,'name').localeCompare(value(b,'name'));\n"
    "  return down?-order:order;});\n"
    " rows.forEach(function(r){body.appendChild(r);});});});\n"
    "})();\n"
    "</script>\n";

// The page as a small file manager, as far as the user's rights allow:
// for every reader, downloading the rows selected (a folder as its ZIP);
// uploads with progress and a cancel (PUT of each file; a taken name asks
// to keep both), files dropped onto the page, and with WebDAV a new
// folder (MKCOL), whole folders picked or dropped (each folder made from
// the top, one that exists taken as it is, then each file put in its
// place), renaming or moving (MOVE) and deleting (DELETE, asked first).
// Every request goes to this site.
const char manage_script[] =
    "<script>\n"
    "(function(){\n"
    "var can=document.body.dataset.can.split(' ');\n"
    "function has(x){return can.indexOf(x)>=0;}\n"
    "var tools=document.getElementById('tools');tools.hidden=false;\n"
    "function fail(what){return function(e){alert(what+': '+e.message);location.reload();};}\n"
    "function send(method,url,headers,fine){return fetch(url,{method:method,headers:headers||{}})"
    ".then(function(r){if(r.status>=300&&r.status!==fine)return r.text().then(function(t){"
    "throw new Error(t.trim()||r.status);});});}\n"
    "function path(text){return text.split('/').map(encodeURIComponent).join('/');}\n"
    "function button(label,where,act){var b=document.createElement('button');"
    "b.type='button';b.textContent=label;b.addEventListener('click',act);"
    "where.appendChild(b);return b;}\n"
    "var rows=[].slice.call(document.querySelectorAll('tbody tr[data-size]')).filter("
    "function(r){return r.querySelector('a');});\n"
    "function url(r){return r.querySelector('a').href;}\n"
    "function named(r){return r.querySelector('a').textContent.replace(/\\/$/,'');}\n"
    "if(has('folders'))button('New folder',tools,function(){\n"
    " var name=prompt('Name of the new folder');\n"
    " if(name)send('MKCOL',path(name)+'/').then(function(){location.reload();},"
    "fail('New folder'));});\n"
    "if(has('change'))document.querySelector('thead tr').appendChild("
    "document.createElement('th'));\n"
    "rows.forEach(function(r){\n"
    " var box=document.createElement('input');box.type='checkbox';box.className='pick';\n"
    " box.setAttribute('aria-label','select '+named(r));r.cells[0].prepend(box);\n"
    " if(!has('change'))return;\n"
    " var cell=r.insertCell(-1);\n"
    "  button('Rename',cell,function(){\n"
    "   var to=prompt('New name, or a path to move it to (../'+named(r)+')',named(r));\n"
    "   if(!to||to===named(r))return;\n"
    "   var target=new URL(path(to)+(r.dataset.dir?'/':''),location.href).href;\n"
    "   send('MOVE',url(r),{Destination:target,Overwrite:'F'}).then(function(){"
    "location.reload();},fail('Rename'));});\n"
    "  button('Delete',cell,function(){\n"
    "   if(confirm('Delete '+named(r)+'?'))send('DELETE',url(r)).then(function(){"
    "location.reload();},fail('Delete'));});});\n"
    "function chosen(){return rows.filter(function(r){return "
    "r.querySelector('.pick').checked;});}\n"
    "function downloads(){return chosen().map(function(r){"
    "return url(r)+(r.dataset.dir?'?download=zip':'');});}\n"
    "button('Download selected',tools,function(){\n"
    " downloads().reduce(function(p,u){return p.then(function(){\n"
    "  var a=document.createElement('a');a.href=u;a.download='';a.hidden=true;\n"
    "  document.body.append(a);a.click();a.remove();\n"
    "  return new Promise(function(next){setTimeout(next,300);});});},Promise.resolve());});\n"
    "if(has('change'))button('Delete selected',tools,function(){\n"
    "  var picked=chosen();\n"
    "  if(!picked.length||!confirm('Delete '+picked.length+' selected?'))return;\n"
    "  picked.reduce(function(p,r){return p.then(function(){return send('DELETE',url(r));});},"
    "Promise.resolve()).then(function(){location.reload();},fail('Delete'));});\n"
    "if(!has('upload'))return;\n"
    "var list=document.getElementById('uploads'),current=null,stopped=false;\n"
    "function size(n){return n<1048576?(n/1024).toFixed(1)+' KiB':(n/1048576).toFixed(1)+' MiB';}\n"
    "function put(item,how,shown,moved){var file=item.file;"
    "return new Promise(function(done,failed){\n"
    " var x=current=new XMLHttpRequest(),start=Date.now();\n"
    " x.open('PUT',path(item.path)+'?conflict='+how);\n"
    " x.upload.onprogress=function(e){shown.value=e.loaded;moved(e.loaded);\n"
    "  var rate=e.loaded/Math.max(1,Date.now()-start)*1000;\n"
    "  shown.title=size(e.loaded)+' of '+size(file.size)+', '+size(rate)+'/s, '+"
    "Math.ceil((file.size-e.loaded)/Math.max(rate,1))+' s left';"
    "shown.nextSibling.textContent=' '+shown.title;};\n"
    " x.onload=function(){x.status===409&&how==='refuse'?done('taken'):x.status<300?done('stored'):"
    "failed(new Error(x.responseText.trim()||x.status));};\n"
    " x.onerror=x.onabort=function(){failed(new Error('stopped'));};\n"
    " x.send(file);});}\n"
    "function picks(files){return [].slice.call(files).map(function(f){"
    "return {file:f,path:f.webkitRelativePath||f.name};});}\n"
    "function folders(items,dirs){var all={};dirs.concat(items.map(function(i){"
    "return i.path.split('/').slice(0,-1).join('/');})).forEach(function(d){\n"
    " d.split('/').forEach(function(s,i,steps){if(d)all[steps.slice(0,i+1).join('/')]=1;});});\n"
    " return Object.keys(all).sort();}\n"
    // A share that hides names beginning with "." refuses them: they are
    // left out, with the user's leave, rather than stopping the rest.
    "function dotted(p){return p.split('/').some(function(s){return s.charAt(0)==='.';});}\n"
    "function upload(items,dirs){\n"
    " dirs=dirs||[];if(!has('hidden')){\n"
    "  var kept=items.filter(function(i){return !dotted(i.path);}),"
    "left=items.length-kept.length+dirs.filter(dotted).length;\n"
    "  if(left&&!confirm(left+' names begin with a dot, which this share does not keep. '+"
    "'Upload the rest?'))return;\n"
    "  items=kept;dirs=dirs.filter(function(d){return !dotted(d);});}\n"
    " dirs=folders(items,dirs);if(!items.length&&!dirs.length)return;\n"
    " stopped=false;list.hidden=false;\n"
    " list.textContent='';var total=0,sent=[];items.forEach(function(i){total+=i.file.size;});\n"
    " var all=document.createElement('progress');all.id='overall';all.max=total||1;\n"
    " list.append('All files ',all);\n"
    " button('Cancel',list,function(){stopped=true;if(current)current.abort();});\n"
    " function moved(i){return function(n){sent[i]=n;\n"
    "  all.value=sent.reduce(function(a,b){return a+(b||0);},0);};}\n"
    " var bars=items.map(function(f){var p=document.createElement('p'),b=document.createElement"
    "('progress');b.max=f.file.size||1;b.className='file';p.append(f.path+' ',b,' ');"
    "list.append(p);return b;});\n"
    " var made=dirs.reduce(function(p,d){return p.then(function(){if(stopped)throw new "
    "Error('stopped');return send('MKCOL',path(d)+'/',{},405);});},Promise.resolve());\n"
    " items.reduce(function(p,f,i){return p.then(function(){if(stopped)throw new "
    "Error('stopped');\n"
    "  return put(f,'refuse',bars[i],moved(i)).then(function(how){\n"
    "   if(how!=='taken')return;\n"
    "   var numbered=' the new one under a numbered name';\n"
    "   if(has('replace'))how=confirm(f.path+' exists. OK replaces it; Cancel keeps both,'+"
    "numbered+'.')?'replace':'keep';\n"
    "   else how=confirm(f.path+' exists. Keep both,'+numbered+'?')?'keep':'';\n"
    "   if(how)return put(f,how,bars[i],moved(i));});});},made)\n"
    " .then(function(){location.reload();},fail('Upload'));}\n"
    // The files are taken from the form and the form emptied: the browser
    // would otherwise pick them again when the page is reloaded after them.
    "var form=document.getElementById('upload');\n"
    "form.addEventListener('submit',function(e){e.preventDefault();"
    "var items=picks(form.querySelector('input[type=file]').files);form.reset();upload(items);});\n"
    "document.addEventListener('dragover',function(e){e.preventDefault();});\n"
    "if(!has('folders')){document.addEventListener('drop',function(e){e.preventDefault();"
    "upload(picks(e.dataTransfer.files));});return;}\n"
    "var folder=document.createElement('input');folder.type='file';folder.id='folder';\n"
    "folder.webkitdirectory=true;folder.addEventListener('change',function(){"
    "var items=picks(folder.files);folder.value='';upload(items);});\n"
    "var label=document.createElement('label');label.append('Upload a folder ',folder);"
    "tools.prepend(label);\n"
    // A dropped folder is walked whole: a reader gives its entries in parts,
    // until one comes back empty.
    "function entries(dir){return new Promise(function(done,failed){var reader=dir.createReader(),"
    "all=[];\n"
    " (function more(){reader.readEntries(function(part){if(!part.length)return done(all);"
    "all=all.concat(part);more();},failed);})();});}\n"
    "function walk(entry,items,dirs){var at=entry.fullPath.replace(/^\\//,'');\n"
    " if(entry.isFile)return new Promise(function(done,failed){entry.file(function(f){"
    "items.push({file:f,path:at});done();},failed);});\n"
    " dirs.push(at);return entries(entry).then(function(list){"
    "return Promise.all(list.map(function(e){return walk(e,items,dirs);}));});}\n"
    "document.addEventListener('drop',function(e){e.preventDefault();var items=[],dirs=[];\n"
    " var found=[].slice.call(e.dataTransfer.items).map(function(i){return i.webkitGetAsEntry();})"
    ".filter(Boolean);\n"
    " Promise.all(found.map(function(en){return walk(en,items,dirs);})).then(function(){"
    "items.sort(function(a,b){return a.path<b.path?-1:1;});upload(items,dirs);},fail('Drop'));});\n"
    "})();\n"
    "</script>\n";

// The order a column head shows, and the row buttons of the file manager
// kept small beside the names on a phone.
const char listing_style[] =
    "<style>th[aria-sort=ascending] a::after{content:\" \\2191\"}"
    "th[aria-sort=descending] a::after{content:\" \\2193\"}"
    "td button{font-size:.8em;padding:.1em .3em;margin:0 .1em}</style>\n";

const char upload_form[] =
    "<form method=\"post\" enctype=\"multipart/form-data\" action=\"./\" id=\"upload\">\n"
    "<input type=\"file\" name=\"file\" multiple>\n"
    "<button type=\"submit\">Upload</button>\n"
    "</form>\n";

std::string shown_path(const std::string& url_path, bool decoded_paths) {
    std::string shown;
    if (!decoded_paths || !percent_decode(url_path, &shown)) shown = url_path;
    return shown;
}

// The path as links to each folder on the way: "/" then each step, where a
// link can open it; a step that cannot be linked, and any after it, is text.
void append_path_links(const std::string& url_path, bool decoded_paths, std::string* page) {
    size_t from = 0;
    bool linked = true;
    while (from < url_path.size()) {
        const size_t slash = url_path.find('/', from);
        const size_t to = slash == std::string::npos ? url_path.size() : slash + 1;
        const std::string prefix = url_path.substr(0, to);
        const std::string step = url_path.substr(from, to - from);
        linked = linked && (decoded_paths || std::all_of(prefix.begin(), prefix.end(), [](char c) {
                                return c == '/' || is_path_literal(static_cast<unsigned char>(c));
                            }));
        if (linked) {
            *page += "<a href=\"";
            append_html_escaped(prefix, page);
            *page += "\">";
        }
        append_html_escaped(shown_path(step, decoded_paths), page);
        if (linked) *page += "</a>";
        from = to;
    }
}

// The query of a column head's link: its order, ascending unless the page
// is already sorted by it that way, and the search text of a search page.
std::string sort_query(listing_sort key, const listing_options& options,
                       const std::string& search) {
    static const char* const names[] = {"name", "size", "date"};
    std::string query = "?";
    if (!search.empty()) query += "q=" + percent_encode_path(search) + "&";
    query += std::string("sort=") + names[static_cast<int>(key)];
    if (key == options.sort_by && !options.descending) query += "&order=desc";
    return query;
}

void append_head_cell(listing_sort key, const char* label, const listing_options& options,
                      const std::string& search, std::string* page) {
    static const char* const names[] = {"name", "size", "date"};
    *page += "<th data-sort=\"";
    *page += names[static_cast<int>(key)];
    *page += '"';
    if (key == options.sort_by)
        *page += options.descending ? " aria-sort=\"descending\"" : " aria-sort=\"ascending\"";
    *page += "><a href=\"";
    append_html_escaped(sort_query(key, options, search), page);
    *page += "\">";
    *page += label;
    *page += "</a></th>";
}

void append_row(const entry& e, bool decoded_paths, std::string* page) {
    std::string href;
    *page += e.is_dir ? "<tr data-dir=\"1\" data-size=\"" : "<tr data-size=\"";
    *page += std::to_string(e.size);
    *page += "\" data-mtime=\"";
    *page += std::to_string(e.mtime);
    *page += "\"><td>";
    const bool linked = entry_link(e, decoded_paths, &href);
    if (linked) {
        *page += "<a href=\"";
        append_html_escaped(href, page);
        *page += "\">";
    }
    append_html_escaped(e.name, page);
    if (e.is_dir) *page += '/';
    if (linked) *page += "</a>";
    *page += "</td><td>";
    *page += e.is_dir ? "-" : readable_size(e.size);
    *page += "</td><td><time datetime=\"";
    *page += utc_time(e.mtime, "%Y-%m-%dT%H:%M:%SZ");
    *page += "\">";
    *page += utc_time(e.mtime, "%Y-%m-%d %H:%M");
    *page += "</time></td></tr>\n";
}

// About the bytes of a row besides its name, so that a large page is not copied as it grows.
constexpr size_t row_bytes = 200;

// What the page's script offers ("download upload folders change", and
// "hidden" where names beginning with "." are kept), as the options allow;
// empty for none. It names what it sends by percent-encoded
// paths, which only a server that decodes them takes. Every reader may
// select rows to download.
std::string managed(const listing_options& options) {
    if (!options.decoded_paths) return std::string();
    std::string can = " download";
    if (options.upload_form) can += " upload";
    if (options.upload_form && options.replace) can += " replace";
    if (options.make_folders) can += " folders";
    if (options.change) can += " change";
    if (options.show_hidden) can += " hidden";
    return can.empty() ? can : can.substr(1);
}

// Everything of a page down to its table's head: title, path, the links and
// forms, and the table's head. `search`: the text of a search page, or empty.
void append_page_top(const std::string& url_path, const listing_options& options,
                     const std::string& search, std::string* page) {
    const std::string title = (search.empty() ? "Index of " : "Search for \"" + search + "\" in ") +
                              shown_path(url_path, options.decoded_paths);
    *page += page_start(title);
    *page += listing_style;
    const std::string can = search.empty() ? managed(options) : std::string();
    *page += can.empty() ? "<body>\n<h1>" : "<body data-can=\"" + can + "\">\n<h1>";
    *page += search.empty() ? "Index of " : "Search in ";
    append_path_links(url_path, options.decoded_paths, page);
    *page += "</h1>\n";
    *page += search.empty() ? "<p><a href=\"?download=zip\">Download as ZIP</a></p>\n"
                            : "<p><a href=\"./\">Back to the folder</a></p>\n";
    if (options.upload_form && search.empty()) *page += upload_form;
    if (!can.empty()) *page += "<p id=\"tools\" hidden></p>\n<div id=\"uploads\" hidden></div>\n";
    *page +=
        "<form method=\"get\" action=\"./\" role=\"search\">\n"
        "<input type=\"search\" name=\"q\" placeholder=\"Search names below\"";
    if (!search.empty()) {
        *page += " value=\"";
        append_html_escaped(search, page);
        *page += '"';
    }
    *page +=
        ">\n<button type=\"submit\">Search</button>\n"
        "<input type=\"search\" id=\"filter\" placeholder=\"Filter this page\" hidden>\n"
        "</form>\n";
}

void append_table(const std::vector<entry>& entries, const std::string& url_path,
                  const listing_options& options, const std::string& search, std::string* page) {
    *page += "<table>\n<thead><tr>";
    append_head_cell(listing_sort::name, "Name", options, search, page);
    append_head_cell(listing_sort::size, "Size", options, search, page);
    append_head_cell(listing_sort::date, "Modified <span id=\"zone\">(UTC)</span>", options, search,
                     page);
    *page += "</tr></thead>\n<tbody>\n";
    if (url_path != "/" && search.empty())
        *page += "<tr><td><a href=\"../\">../</a></td><td></td><td></td></tr>\n";
    for (const entry& e : entries)
        append_row(e, options.decoded_paths, page);
    *page += "</tbody>\n</table>\n";
}

void append_page_end(bool managed, std::string* page) {
    *page += page_script;
    if (managed) *page += manage_script;
    *page += "</body>\n</html>\n";
}

}  // namespace

bool write_listing(const std::string& dir, const std::string& url_path,
                   const listing_options& options, std::string* page) {
    page->clear();
    std::vector<entry> entries;
    if (!read_entries(dir, options.show_hidden, &entries)) return false;
    sort_entries(options, &entries);
    page->reserve(4096 + entries.size() * row_bytes);
    append_page_top(url_path, options, std::string(), page);
    append_table(entries, url_path, options, std::string(), page);
    append_page_end(!managed(options).empty(), page);
    return true;
}

namespace {

char lower_ascii(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string lower_ascii(std::string text) {
    for (char& c : text)
        c = lower_ascii(c);
    return text;
}

long long monotonic_ms() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// The walk of a search: folders in the order they are found, each once,
// none outside the root, until a bound stops it.
class name_search {
  public:
    name_search(const std::string& dir, const std::string& text, bool show_hidden,
                const search_limits& limits)
        : dir(dir), wanted(lower_ascii(text)), show_hidden(show_hidden), limits(limits) {}

    bool run(const std::string& root, std::vector<entry>* found) {
        char real[PATH_MAX];
        if (realpath(root.empty() ? "." : root.c_str(), real) == nullptr) return false;
        real_root = std::string(real) + "/";
        struct stat info {};
        if (!beneath_root(dir) || stat(dir.c_str(), &info) != 0 || !S_ISDIR(info.st_mode))
            return false;
        seen.insert({info.st_dev, info.st_ino});
        deadline_ms = monotonic_ms() + limits.time_max_ms;
        to_walk.push_back(std::string());
        for (size_t next = 0; next < to_walk.size() && !stopped; ++next) {
            // A copy: the walk adds to the folders to walk.
            if (!walk(std::string(to_walk[next]), found) && next == 0) return false;
        }
        return true;
    }

    bool stopped = false;  // a bound stopped the search: there may be more
    size_t looked_at = 0;

  private:
    const std::string& dir;
    const std::string wanted;
    const bool show_hidden;
    const search_limits& limits;
    std::string real_root;  // ends in "/"
    long long deadline_ms = 0;
    std::vector<std::string> to_walk;  // paths below `dir`, each ending in "/" (or empty)
    std::set<std::pair<dev_t, ino_t>> seen;

    bool beneath_root(const std::string& path) const {
        char real[PATH_MAX];
        if (realpath(path.c_str(), real) == nullptr) return false;
        return (std::string(real) + "/").compare(0, real_root.size(), real_root) == 0;
    }

    bool seen_before(const struct stat& info) {
        return !seen.insert({info.st_dev, info.st_ino}).second;
    }

    bool out_of_bounds(const std::vector<entry>& found) {
        stopped = stopped || looked_at >= limits.entries_max ||
                  found.size() >= limits.results_max || monotonic_ms() >= deadline_ms;
        return stopped;
    }

    // One folder's names: those that hold the text are found, its folders
    // wait their turn. False when it cannot be read.
    bool walk(const std::string& rel, std::vector<entry>* found) {
        const std::string path = dir + rel;
        std::unique_ptr<DIR, int (*)(DIR*)> handle(opendir(path.c_str()), closedir);
        if (!handle) return false;
        const int dir_fd = dirfd(handle.get());
        while (const dirent* item = readdir(handle.get())) {
            if (out_of_bounds(*found)) return true;
            if (!listed_name(item->d_name, show_hidden)) continue;
            ++looked_at;
            struct stat info {};
            if (!follows_inside(dir_fd, path, item->d_name, &info)) continue;
            const std::string name = rel + item->d_name;
            if (lower_ascii(item->d_name).find(wanted) != std::string::npos) {
                entry e;
                e.name = name;
                take_info(info, &e);
                found->push_back(std::move(e));
            }
            if (S_ISDIR(info.st_mode) && !seen_before(info)) to_walk.push_back(name + "/");
        }
        return true;
    }

    // What a name is, a link followed only where it stays beneath the root;
    // false for what is neither a folder nor a regular file.
    bool follows_inside(int dir_fd, const std::string& path, const char* name,
                        struct stat* info) const {
        if (fstatat(dir_fd, name, info, AT_SYMLINK_NOFOLLOW) != 0) return false;
        if (S_ISLNK(info->st_mode) &&
            (!beneath_root(path + name) || fstatat(dir_fd, name, info, 0) != 0))
            return false;
        return S_ISDIR(info->st_mode) || S_ISREG(info->st_mode);
    }
};

}  // namespace

bool write_search(const std::string& root, const std::string& dir, const std::string& url_path,
                  const std::string& text, const listing_options& options,
                  const search_limits& limits, std::string* page) {
    page->clear();
    std::vector<entry> found;
    name_search search(dir, text, options.show_hidden, limits);
    if (!search.run(root, &found)) return false;
    sort_entries(options, &found);
    page->reserve(4096 + found.size() * row_bytes);
    append_page_top(url_path, options, text, page);
    *page += "<p>" + std::to_string(found.size()) + (found.size() == 1 ? " name" : " names") +
             " found among the " + std::to_string(search.looked_at) + " looked at.";
    if (search.stopped) *page += " The search stopped there: there may be more.";
    *page += "</p>\n";
    append_table(found, url_path, options, text, page);
    append_page_end(false, page);
    return true;
}

namespace {

// The length of the well-formed UTF-8 sequence that begins at `at`; 0 when it is not one
// (a stray continuation byte, an overlong form, a surrogate, beyond U+10FFFF, cut short).
size_t utf8_sequence_length(const std::string& text, size_t at) {
    const auto first = static_cast<unsigned char>(text[at]);
    if (first < 0x80) return 1;
    size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;  // the range of the second byte
    if (first >= 0xC2 && first <= 0xDF) {
        length = 2;
    } else if (first >= 0xE0 && first <= 0xEF) {
        length = 3;
        if (first == 0xE0) low = 0xA0;
        if (first == 0xED) high = 0x9F;
    } else if (first >= 0xF0 && first <= 0xF4) {
        length = 4;
        if (first == 0xF0) low = 0x90;
        if (first == 0xF4) high = 0x8F;
    } else {
        return 0;
    }
    if (text.size() - at < length) return 0;
    for (size_t i = 1; i < length; ++i) {
        const auto byte = static_cast<unsigned char>(text[at + i]);
        if (byte < (i == 1 ? low : 0x80) || byte > (i == 1 ? high : 0xBF)) return 0;
    }
    return length;
}

void append_json_string(const std::string& text, std::string* out) {
    *out += '"';
    for (size_t at = 0; at < text.size();) {
        const auto byte = static_cast<unsigned char>(text[at]);
        if (byte == '"' || byte == '\\') {
            *out += '\\';
            *out += text[at++];
        } else if (byte < 0x20) {
            char escape[8];
            snprintf(escape, sizeof escape, "\\u%04x", byte);
            *out += escape;
            ++at;
        } else if (const size_t length = utf8_sequence_length(text, at); length > 0) {
            out->append(text, at, length);
            at += length;
        } else {
            *out += "\\ufffd";
            ++at;
        }
    }
    *out += '"';
}

}  // namespace

bool is_well_formed_utf8(const std::string& text) {
    for (size_t at = 0; at < text.size();) {
        const size_t length = utf8_sequence_length(text, at);
        if (length == 0) return false;
        at += length;
    }
    return true;
}

bool write_listing_json(const std::string& dir, const listing_options& options, std::string* json) {
    json->clear();
    std::vector<entry> entries;
    if (!read_entries(dir, options.show_hidden, &entries)) return false;
    sort_entries(listing_options(), &entries);
    json->reserve(4 + entries.size() * (64 + 16));
    *json += '[';
    for (size_t i = 0; i < entries.size(); ++i) {
        const entry& e = entries[i];
        *json += i == 0 ? "\n{\"name\":" : ",\n{\"name\":";
        append_json_string(e.name, json);
        // The name as text may have lost bytes that are not UTF-8: the href
        // fetches it whatever its bytes, where any link can.
        *json += ",\"href\":";
        if (std::string href; entry_link(e, options.decoded_paths, &href)) {
            append_json_string(href, json);
        } else {
            *json += "null";
        }
        *json += e.is_dir ? ",\"type\":\"dir\",\"size\":" : ",\"type\":\"file\",\"size\":";
        *json += std::to_string(e.size);
        *json += ",\"mtime\":";
        *json += std::to_string(e.mtime);
        *json += '}';
    }
    *json += "\n]\n";
    return true;
}
