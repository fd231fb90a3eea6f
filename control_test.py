import json
d = json.load(open('control_test.json', encoding='utf-8'))
print(d['plans'][0]['programs'][0]['state'], len(d['plans'][0]['programs']), d['plans'][0]['programs'][999])
