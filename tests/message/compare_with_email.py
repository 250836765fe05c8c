"""Compares `brieflotse --explain FILE --json` with what Python's email
package reads from FILE: header names and decoded values, and per MIME part
the type, charset, transfer encoding, disposition, file name and decoded
text. Prints every difference; exit status 1 when there is one.

    compare_with_email.py MESSAGE ANATOMY_JSON
"""
import email
import email.policy
import email.utils
import json
import sys


def main():
    with open(sys.argv[1], 'rb') as f:
        msg = email.message_from_binary_file(f, policy=email.policy.default)
    with open(sys.argv[2], encoding='utf-8') as f:
        ours = json.load(f)
    differences = []

    def differ(what, python, brieflotse):
        if python != brieflotse:
            differences.append(f'{what}: email {python!r}, brieflotse {brieflotse!r}')

    theirs = list(msg.items())
    differ('header count', len(theirs), len(ours['headers']))
    for (name, value), field in zip(theirs, ours['headers']):
        differ('header name', name, field['name'])
        if name.lower() == 'date':
            # email writes the day with two digits; compare the instant.
            differ('Date', email.utils.parsedate_to_datetime(str(value)),
                   email.utils.parsedate_to_datetime(field['value']))
        elif str(value) != field['value'] and '=?' not in field['value']:
            # Address and parameter fields: email writes them anew (quotes
            # only where needed), so the decoded value is read the same way.
            again = email.policy.default.header_factory(name, field['value'])
            differ(f'{name} value', str(value), str(again))
        else:
            differ(f'{name} value', str(value), field['value'])

    parts = list(msg.walk())
    differ('part count', len(parts), len(ours['parts']))
    for part, entry in zip(parts, ours['parts']):
        where = 'part ' + entry['path']
        differ(where + ' content_type', part.get_content_type(), entry['content_type'])
        differ(where + ' charset', part.get_content_charset(), entry['charset'])
        encoding = part.get('Content-Transfer-Encoding')
        differ(where + ' transfer_encoding', encoding and str(encoding).strip().lower(),
               entry['transfer_encoding'])
        differ(where + ' disposition', part.get_content_disposition(), entry['disposition'])
        differ(where + ' filename', part.get_filename(), entry['filename'])
        if part.get_content_maintype() == 'text':
            text = part.get_content().replace('\r\n', '\n')
            differ(where + ' text', text, entry['text'])
        elif not part.is_multipart() and part.get_content_type() != 'message/rfc822':
            differ(where + ' size_decoded', len(part.get_payload(decode=True)), entry['size_decoded'])

    for line in differences:
        print(line)
    return 1 if differences else 0


if __name__ == '__main__':
    sys.exit(main())
